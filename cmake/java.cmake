# The Java side, for the builds that make a jar: SerialPort and the ruvek
# packages compiled for Java 8, ruvek.jar, the Maven artifacts, and the JVM
# tests. Included from CMakeLists.txt, after the ruvek library target exists.

# The classes, built for Java 8 and later since many 32-bit Windows JVMs are
# Java 8. The output folder is emptied first, so no class of a source that
# was moved or removed lingers in the jar.
set(classes "${CMAKE_CURRENT_BINARY_DIR}/classes")
set(classes_stamp "${CMAKE_CURRENT_BINARY_DIR}/classes.stamp")
file(GLOB_RECURSE main_sources CONFIGURE_DEPENDS RELATIVE "${CMAKE_CURRENT_SOURCE_DIR}"
     "${CMAKE_CURRENT_SOURCE_DIR}/java/*.java")
list(FILTER main_sources EXCLUDE REGEX "module-info\\.java$")
# The module ruvek: the named packages and module-info, for Java 9 and later.
set(module_sources ${main_sources})
list(FILTER module_sources EXCLUDE REGEX "^java/[^/]+\\.java$")
list(APPEND module_sources java/module-info.java)
add_custom_command(OUTPUT "${classes_stamp}"
  COMMAND "${CMAKE_COMMAND}" -E rm -rf "${classes}"
  COMMAND "${Java_JAVAC_EXECUTABLE}" -Xlint:all -Werror --release 8 -d "${classes}" ${main_sources}
  COMMAND "${CMAKE_COMMAND}" -E touch "${classes_stamp}"
  DEPENDS ${main_sources} WORKING_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" VERBATIM)
set(module_classes "${CMAKE_CURRENT_BINARY_DIR}/module-classes")
set(module_stamp "${CMAKE_CURRENT_BINARY_DIR}/module-classes.stamp")
add_custom_command(OUTPUT "${module_stamp}"
  COMMAND "${CMAKE_COMMAND}" -E rm -rf "${module_classes}"
  # String concatenation as StringBuilder calls, as in the --release 8 classes:
  # its invokedynamic form costs the first concatenation of a start milliseconds.
  COMMAND "${Java_JAVAC_EXECUTABLE}" -Xlint:all -Werror --release 9 -XDstringConcat=inline -d "${module_classes}" ${module_sources}
  COMMAND "${CMAKE_COMMAND}" -E touch "${module_stamp}"
  DEPENDS ${module_sources} WORKING_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" VERBATIM)
# One javac for the main classes, not one per target that needs them.
add_custom_target(java_classes DEPENDS "${classes_stamp}" "${module_stamp}")

# The jars: ruvek.jar, the classes and every native built beside this tree,
# for the class path; ruvek-module.jar, the module ruvek with the named API's
# natives, for the module path.
set(jar "${CMAKE_CURRENT_BINARY_DIR}/ruvek.jar")
set(module_jar "${CMAKE_CURRENT_BINARY_DIR}/ruvek-module.jar")
add_custom_target(ruvek_jar ALL
  COMMAND "${CMAKE_COMMAND}" "-DJAR_TOOL=${Java_JAR_EXECUTABLE}" "-DCLASSES=${classes}" "-DOUT=${jar}"
          "-DMODULE_CLASSES=${module_classes}" "-DMODULE_OUT=${module_jar}"
          "-DSTAGE=${CMAKE_CURRENT_BINARY_DIR}/jar-natives" "-DBUILD_ROOT=${CMAKE_CURRENT_BINARY_DIR}/.."
          "-DSELF=$<TARGET_FILE:ruvek>" "-DVERSION=${PROJECT_VERSION}"
          "-DLICENSE=${CMAKE_CURRENT_SOURCE_DIR}/LICENSE" -P "${CMAKE_CURRENT_SOURCE_DIR}/cmake/jar.cmake"
  DEPENDS "${classes_stamp}" "${module_stamp}" ruvek ruvekline LICENSE
  BYPRODUCTS "${jar}" "${module_jar}" VERBATIM)
add_dependencies(ruvek_jar java_classes)

# ruvek.jmod, for jlink: the module and this build's native, which an image
# made with it holds in its lib/. From the JDK whose jar tool packs the jars.
file(REAL_PATH "${Java_JAR_EXECUTABLE}" jar_tool)
cmake_path(GET jar_tool PARENT_PATH jdk_bin)
find_program(RUVEK_JMOD jmod HINTS "${jdk_bin}" NO_DEFAULT_PATH)
if(RUVEK_JMOD)
  set(jmod "${CMAKE_CURRENT_BINARY_DIR}/ruvek.jmod")
  add_custom_target(ruvek_jmod ALL
    COMMAND "${CMAKE_COMMAND}" "-DJMOD_TOOL=${RUVEK_JMOD}" "-DMODULE_CLASSES=${module_classes}"
            "-DSTAGE=${CMAKE_CURRENT_BINARY_DIR}/jar-natives" "-DLINE=$<TARGET_FILE:ruvekline>" "-DOUT=${jmod}"
            "-DVERSION=${PROJECT_VERSION}" "-DLICENSE=${CMAKE_CURRENT_SOURCE_DIR}/LICENSE"
            -P "${CMAKE_CURRENT_SOURCE_DIR}/cmake/jmod.cmake"
    BYPRODUCTS "${jmod}" VERBATIM)
  add_dependencies(ruvek_jmod ruvek_jar)
else()
  message(WARNING "no jmod tool beside ${jar_tool}: ruvek.jmod is not built")
endif()

# The Maven artifacts ruvek:ruvek:<version>: the jar under its versioned
# name, the module jar under the classifier "module", its sources, its javadoc and its pom (scripts/maven-install installs them).
set(artifact "${CMAKE_CURRENT_BINARY_DIR}/ruvek-${PROJECT_VERSION}")
# The project's home and repository, for a build that is published: no
# default, since the pom must not name a home the project doesn't have.
set(RUVEK_PROJECT_URL "" CACHE STRING "The project's home page, for the pom's url (https://...)")
set(RUVEK_SCM_URL "" CACHE STRING "The project's git repository, for the pom's scm (https://...)")
set(RUVEK_POM_LINKS "")
if(RUVEK_PROJECT_URL)
  string(APPEND RUVEK_POM_LINKS "  <url>${RUVEK_PROJECT_URL}</url>\n")
endif()
if(RUVEK_SCM_URL)
  string(APPEND RUVEK_POM_LINKS "  <scm>\n    <url>${RUVEK_SCM_URL}</url>\n"
         "    <connection>scm:git:${RUVEK_SCM_URL}</connection>\n  </scm>\n")
endif()
if(NOT RUVEK_PROJECT_URL OR NOT RUVEK_SCM_URL)
  message(STATUS "The pom names no url or scm: give RUVEK_PROJECT_URL and RUVEK_SCM_URL for a published build")
endif()
configure_file(cmake/ruvek.pom.in "${artifact}.pom" @ONLY)
# The javadoc documents what users may name: SerialPort and the package
# ruvek. The other packages are read for links only.
set(api_sources ${main_sources})
list(FILTER api_sources INCLUDE REGEX "^java/(ruvek/)?[^/]+\\.java$")
add_custom_command(OUTPUT "${artifact}-javadoc.jar" "${artifact}-sources.jar"
  COMMAND "${CMAKE_COMMAND}" -E rm -rf "${CMAKE_CURRENT_BINARY_DIR}/javadoc"
  COMMAND "${Java_JAVADOC_EXECUTABLE}" -quiet -Xdoclint:all -Werror --release 8 -sourcepath java
          -overview java/overview.html -doctitle ruvek -windowtitle ruvek
          -d "${CMAKE_CURRENT_BINARY_DIR}/javadoc" ${api_sources}
  COMMAND "${Java_JAR_EXECUTABLE}" --create --file "${artifact}-javadoc.jar" -C "${CMAKE_CURRENT_BINARY_DIR}/javadoc" .
  COMMAND "${Java_JAR_EXECUTABLE}" --create --file "${artifact}-sources.jar" -C java .
  DEPENDS ${main_sources} java/overview.html WORKING_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" VERBATIM)
add_custom_target(ruvek_maven ALL
  COMMAND "${CMAKE_COMMAND}" -E copy "${jar}" "${artifact}.jar"
  COMMAND "${CMAKE_COMMAND}" -E copy "${module_jar}" "${artifact}-module.jar"
  DEPENDS "${artifact}-javadoc.jar" "${artifact}-sources.jar" BYPRODUCTS "${artifact}.jar" "${artifact}-module.jar" VERBATIM)
add_dependencies(ruvek_maven ruvek_jar)

# The JVM tests: SerialPort and the jar on a real JVM over socat null-modems.
find_program(SOCAT socat REQUIRED)
find_file(JUNIT_CONSOLE junit-platform-console-standalone.jar PATHS /usr/share/java REQUIRED NO_CMAKE_FIND_ROOT_PATH)
set(test_classes "${CMAKE_CURRENT_BINARY_DIR}/test-classes")
set(test_classes_stamp "${CMAKE_CURRENT_BINARY_DIR}/test-classes.stamp")
file(GLOB_RECURSE test_sources CONFIGURE_DEPENDS RELATIVE "${CMAKE_CURRENT_SOURCE_DIR}"
     "${CMAKE_CURRENT_SOURCE_DIR}/tests/java/*.java")
add_custom_command(OUTPUT "${test_classes_stamp}"
  COMMAND "${CMAKE_COMMAND}" -E rm -rf "${test_classes}"
  COMMAND "${Java_JAVAC_EXECUTABLE}" -Xlint:all -Werror -cp "${JUNIT_CONSOLE}:${classes}"
          -d "${test_classes}" ${test_sources}
  COMMAND "${CMAKE_COMMAND}" -E touch "${test_classes_stamp}"
  DEPENDS ${test_sources} "${classes_stamp}" WORKING_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" VERBATIM)
add_custom_target(jvm_test_classes ALL DEPENDS "${test_classes_stamp}")
add_dependencies(jvm_test_classes java_classes)

# Every class named *Test is a suite, by its class name.
set(suites "")
foreach(source IN LISTS test_sources)
  if(source MATCHES "^tests/java/(.+Test)\\.java$")
    string(REPLACE "/" "." suite "${CMAKE_MATCH_1}")
    list(APPEND suites "${suite}")
  endif()
endforeach()

# Each suite in a JVM of its own, except in cross builds. Those run them on
# Debian's JVM for the target (scripts/target-jres fetches it), under
# qemu-user where this machine cannot run it natively.
set(test_java "${Java_JAVA_EXECUTABLE}")
set(test_jar "${jar}")
set(suite_groups ${suites})
if(CMAKE_CROSSCOMPILING)
  # The jar tested is the one shipped, which the linux preset packs once
  # every native is built: build that preset before running these tests.
  set(test_jar "${CMAKE_CURRENT_BINARY_DIR}/../linux/ruvek.jar")
  set(RUVEK_TARGET_JRE "${CMAKE_CURRENT_SOURCE_DIR}/build/jre/${RUVEK_DEBIAN_ARCH}" CACHE PATH
      "Private root holding the target's JVM and the libraries it needs")
  # A short soak: under emulation 2 MiB takes minutes.
  set(test_java "${CMAKE_CURRENT_SOURCE_DIR}/tests/cross/java" "${RUVEK_TARGET_JRE}" ${RUVEK_DEBIAN_ARCH}
      -Druvek.soak.mib=1)
  # All in one JVM: under emulation each start of JUnit costs 15 s and more.
  set(suite_groups "SerialPortTest,JarTest,FaultTest,SoakTest")
endif()
foreach(group IN LISTS suite_groups)
  string(REPLACE "," ";" members "${group}")
  list(TRANSFORM members PREPEND "--select-class=" OUTPUT_VARIABLE selects)
  string(REPLACE "," "_" suite "${group}")
  add_test(NAME jvm_${suite}
    COMMAND "${CMAKE_COMMAND}" -E env "XDG_CONFIG_HOME=${CMAKE_CURRENT_BINARY_DIR}/jvm-test-config"
            ${test_java} -Djava.library.path=$<TARGET_FILE_DIR:ruvek> "-Druvek.socat=${SOCAT}"
            "-Druvek.jar=${test_jar}" "-Druvek.buildRoot=${CMAKE_CURRENT_BINARY_DIR}/.."
            "-Druvek.version=${PROJECT_VERSION}" "-Druvek.source=${CMAKE_CURRENT_SOURCE_DIR}"
            -cp "${JUNIT_CONSOLE}:${classes}:${test_classes}" org.junit.platform.console.ConsoleLauncher
            --disable-banner --details=tree --fail-if-no-tests ${selects})
  # Exit code 77: this machine can't run the target's JVM (the reason is printed).
  set_tests_properties(jvm_${suite} PROPERTIES TIMEOUT 600 RESOURCE_LOCK binfmt SKIP_RETURN_CODE 77)
endforeach()

# The real-driver bed runs an x86_64 guest, from the host's own build.
if(NOT CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$" AND NOT RUVEK_FUZZ)
  include(cmake/guest.cmake)
endif()
