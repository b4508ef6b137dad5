# Packs ruvek.jar from the compiled classes and every native that the builds
# of this source tree have made, each under natives/<os>-<arch>/.
# Run with -P; JAR_TOOL, CLASSES, OUT, STAGE, BUILD_ROOT, LINUX_SO, VERSION and
# LICENSE are given.
file(REMOVE_RECURSE "${STAGE}")
set(natives
  "windows-x86|${BUILD_ROOT}/windows-x86/ruvek.dll|windows-x86"
  "windows-x86_64|${BUILD_ROOT}/windows-x64/ruvek.dll|windows-x64"
  "linux-x86_64|${LINUX_SO}|linux")
foreach(entry IN LISTS natives)
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 platform)
  list(GET entry 1 file)
  list(GET entry 2 preset)
  if(EXISTS "${file}")
    file(COPY "${file}" DESTINATION "${STAGE}/natives/${platform}")
    # Its SHA-256 names its cache folder; stored here, no JVM has to compute it.
    file(SHA256 "${file}" sha)
    cmake_path(GET file FILENAME name)
    file(WRITE "${STAGE}/natives/${platform}/${name}.sha256" "${sha}\n")
  else()
    message(WARNING "ruvek.jar has no ${platform} native: build the ${preset} preset first")
  endif()
endforeach()
# The license travels with every copy of the jar.
file(COPY "${LICENSE}" DESTINATION "${STAGE}/META-INF")
file(WRITE "${STAGE}.mf" "Implementation-Title: ruvek\nImplementation-Version: ${VERSION}\n")
file(REMOVE "${OUT}")
execute_process(
  COMMAND "${JAR_TOOL}" --create --file "${OUT}" --main-class SerialTerminal --manifest "${STAGE}.mf"
          -C "${CLASSES}" . -C "${STAGE}" .
  RESULT_VARIABLE result)
if(result)
  message(FATAL_ERROR "jar failed: ${result}")
endif()
