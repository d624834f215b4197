// The types shared by all modules of the process.
#include "internal.hpp"

namespace frame {

namespace {
constexpr const char* kRegistryKey = "velquor_ai.frame.types.v2";
Types shared_types{};
}  // namespace

const Types& types() { return shared_types; }

void ready_types() {
    if (shared_types.function != nullptr) return;
    // Every module file links its own copy of the frame; the first one to
    // start publishes its types so that all modules share one set.
    PyObject* registry = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (registry == nullptr) raise_current();
    PyObject* capsule = nullptr;
    if (check(PyDict_GetItemStringRef(registry, kRegistryKey, &capsule))) {
        Ref owned = steal(capsule);
        auto* published = static_cast<Types*>(PyCapsule_GetPointer(capsule, kRegistryKey));
        if (published == nullptr) raise_current();
        shared_types = *published;
        return;
    }
    Types mine{function_type_object(), coroutine_type_object(), coroutine_iterator_type_object()};
    check(PyType_Ready(mine.function));
    check(PyType_Ready(mine.coroutine));
    check(PyType_Ready(mine.coroutine_iterator));
    auto* stored = new Types(mine);
    Ref published = steal(PyCapsule_New(stored, kRegistryKey, nullptr));
    check(PyDict_SetItemString(registry, kRegistryKey, published.get()));
    shared_types = mine;
}

}  // namespace frame
