// How COM treats an exception that leaves a method of a server the process hosts (the
// library may host one, called on the printing thread or on threads of its own).
#pragma once

#include <cstdint>

// COMGLB_EXCEPTION_DONOT_HANDLE (alias COMGLB_EXCEPTION_DONOT_HANDLE_FATAL) of objidl.h.
inline constexpr uint32_t kComLeavesFatalExceptions = 1;

// The one call the choice makes: IGlobalOptions::Set(COMGLB_EXCEPTION_HANDLING, value).
struct ComGlobalOptions {
    long (*setExceptionHandling)(uint32_t value);  // an HRESULT
};

// Keeps COM from swallowing a fatal exception (an access violation, an illegal instruction…)
// in a method of the library's: by default COM catches it and answers the caller
// RPC_E_SERVERFAULT, and the crash goes unseen. Left to the process, it reaches the watch on
// the printing thread and the unhandled-exception filter on any other. Not
// COMGLB_EXCEPTION_DONOT_HANDLE_ANY: with it COM itself ends the process, with a Windows
// Error Reporting dump, on any other exception (a C++ throw) leaving a method, so the run
// would end without its report. Windows before Vista (only COMGLB_APPID) and Wine (which
// accepts and ignores it) change nothing; the answer is not examined.
void letComFaultsThrough(const ComGlobalOptions& options);
// The same with COM's own IGlobalOptions (CLSID_GlobalOptions), after OleInitialize.
void letComFaultsThrough();
