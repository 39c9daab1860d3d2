# Builds the .deb with cpack into a scratch folder and checks what it holds.
set(out "${BUILD_DIR}/package-check")
file(REMOVE_RECURSE "${out}")
execute_process(COMMAND ${CPACK} -G DEB -B "${out}" --config "${BUILD_DIR}/CPackConfig.cmake"
  WORKING_DIRECTORY "${BUILD_DIR}" RESULT_VARIABLE status OUTPUT_VARIABLE log ERROR_VARIABLE log)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "cpack failed:\n${log}")
endif()
file(GLOB debs "${out}/*.deb")
list(LENGTH debs count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one .deb, found: ${debs}")
endif()

execute_process(COMMAND dpkg-deb -x "${debs}" "${out}/root" RESULT_VARIABLE status)
execute_process(COMMAND dpkg-deb -f "${debs}" Package Depends Section
  OUTPUT_VARIABLE control RESULT_VARIABLE control_status)
if(NOT status EQUAL 0 OR NOT control_status EQUAL 0)
  message(FATAL_ERROR "dpkg-deb cannot read ${debs}")
endif()
file(GLOB_RECURSE files RELATIVE "${out}/root" "${out}/root/*")
list(SORT files)
set(expected "usr/sbin/vormek;usr/share/man/man8/vormek.8.gz")
if(NOT files STREQUAL expected)
  message(FATAL_ERROR "package holds:\n  ${files}\nexpected:\n  ${expected}")
endif()
# The dependency comes from dpkg-shlibdeps, with a version it computed.
if(NOT control MATCHES "Package: vormek\n" OR NOT control MATCHES "Depends: libc6 \\(>= [0-9.]+\\)"
   OR NOT control MATCHES "Section: admin")
  message(FATAL_ERROR "unexpected control fields:\n${control}")
endif()
message(STATUS "${debs}:\n${control}")
