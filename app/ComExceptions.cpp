#include "ComExceptions.h"

void letComFaultsThrough(const ComGlobalOptions& options) { options.setExceptionHandling(kComLeavesFatalExceptions); }
