# CPack's ZIP carries access and change times, owners and local-time dates, so two packings
# of the same files differ. Rewrite each package with nothing but names and contents.
foreach(package ${CPACK_PACKAGE_FILES})
  execute_process(COMMAND ${CPACK_BRENHOLD_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/../scripts/normalize-zip.py ${package}
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "could not normalise ${package}")
  endif()
endforeach()
