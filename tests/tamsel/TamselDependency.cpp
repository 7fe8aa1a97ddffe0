// The dependency of the "missing dependency" variant; its DLL is never put beside it.
extern "C" __declspec(dllexport) int tamselDependency() { return 0; }
