print("velquor_ai demo: coming with the client object")
