# The CTest entry `size`: fails when the program is larger than its budget.
#   cmake -DPROGRAM=path -DBUDGET=bytes -P check-size.cmake
file(SIZE "${PROGRAM}" size)
if(size GREATER BUDGET)
  message(FATAL_ERROR "${PROGRAM} is ${size} bytes, over its budget of ${BUDGET} bytes "
                      "(BRENHOLD_SIZE_BUDGET in CMakeLists.txt: make the change smaller, or raise the "
                      "budget there for one of the reasons written beside it)")
endif()
message(STATUS "${PROGRAM}: ${size} of ${BUDGET} bytes")
