// Everything a module source needs.
#pragma once

#include "frame/coroutine.hpp"
#include "frame/function.hpp"
#include "frame/module.hpp"
#include "frame/ops.hpp"
#include "frame/ref.hpp"
#include "frame/statements.hpp"
