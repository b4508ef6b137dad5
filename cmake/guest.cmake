# The real-driver bed: the guest's JUnit classes and the host's bench, built
# from tests/guest, and the tests that boot the guest once and report each
# class of it. Included from java.cmake in the host's own build.
set(guest_classes "${CMAKE_CURRENT_BINARY_DIR}/guest-classes")
set(guest_stamp "${CMAKE_CURRENT_BINARY_DIR}/guest-classes.stamp")
file(GLOB guest_sources CONFIGURE_DEPENDS RELATIVE "${CMAKE_CURRENT_SOURCE_DIR}"
     "${CMAKE_CURRENT_SOURCE_DIR}/tests/guest/*.java")
add_custom_command(OUTPUT "${guest_stamp}"
  COMMAND "${CMAKE_COMMAND}" -E rm -rf "${guest_classes}"
  COMMAND "${Java_JAVAC_EXECUTABLE}" -Xlint:all -Werror -cp "${JUNIT_CONSOLE}:${classes}" -d "${guest_classes}"
          ${guest_sources}
  COMMAND "${CMAKE_COMMAND}" -E touch "${guest_stamp}"
  DEPENDS ${guest_sources} "${classes_stamp}" WORKING_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" VERBATIM)
add_custom_target(guest_classes ALL DEPENDS "${guest_stamp}")
add_dependencies(guest_classes java_classes)

# One boot runs every class; each class is then a test of its own, by name.
set(guest_tests "")
foreach(source IN LISTS guest_sources)
  if(source MATCHES "/([A-Za-z0-9]+Test)\\.java$")
    list(APPEND guest_tests "${CMAKE_MATCH_1}")
  endif()
endforeach()
set(guest_work "${CMAKE_CURRENT_BINARY_DIR}/guest-work")
add_test(NAME guest_bed
  COMMAND "${CMAKE_CURRENT_SOURCE_DIR}/tests/guest/run" "${Java_JAVA_EXECUTABLE}" "${JUNIT_CONSOLE}"
          "${guest_classes}" "${jar}" "${guest_work}" ${guest_tests})
set_tests_properties(guest_bed PROPERTIES TIMEOUT 1200 FIXTURES_SETUP guest RESOURCE_LOCK guest)
foreach(class IN LISTS guest_tests)
  add_test(NAME guest_${class} COMMAND "${CMAKE_CURRENT_SOURCE_DIR}/tests/guest/result" "${guest_work}" ${class})
  set_tests_properties(guest_${class} PROPERTIES FIXTURES_REQUIRED guest SKIP_RETURN_CODE 77)
endforeach()
