# Packs ruvek.jmod, the module ruvek for jlink: the module's classes, this
# build's ruvekline under natives/<platform>/ as in the module jar, and the
# same library as the jmod's native library, which jlink puts in the image's
# lib/. Run with -P after jar.cmake; JMOD_TOOL, MODULE_CLASSES, STAGE (the
# jars' staging folder), LINE (this build's libruvekline.so), OUT, VERSION
# and LICENSE are given.

# This build's folder among the jar's: the one whose ruvekline is LINE.
file(SHA256 "${LINE}" line_sha)
file(GLOB hashes "${STAGE}/natives/*/libruvekline.so.sha256")
set(platform "")
foreach(hash IN LISTS hashes)
  file(STRINGS "${hash}" stored LIMIT_COUNT 1)
  if(stored STREQUAL line_sha)
    cmake_path(GET hash PARENT_PATH folder)
    cmake_path(GET folder FILENAME platform)
  endif()
endforeach()
# A jmod names its platform as the JDK's own jmods do: jlink refuses to mix platforms.
set(jdk_platform_linux-x86_64 linux-amd64)
set(jdk_platform_linux-aarch64 linux-aarch64)
set(jdk_platform_linux-arm linux-arm)
set(jdk_platform_linux-x86 linux-x86)
if(NOT platform OR NOT DEFINED jdk_platform_${platform})
  message(FATAL_ERROR "${LINE} is not among the jar's Linux natives: build ruvek_jar first")
endif()

# The image's second class loader, if any, can't load lib/'s copy again: it
# takes the module's own, as from the module jar. Other platforms' natives
# would be dead weight in an image made for this one.
set(jmod_stage "${STAGE}-jmod")
file(REMOVE_RECURSE "${jmod_stage}")
file(COPY "${STAGE}/natives/${platform}/libruvekline.so" "${STAGE}/natives/${platform}/libruvekline.so.sha256"
     DESTINATION "${jmod_stage}/resources/natives/${platform}")
file(COPY "${LINE}" DESTINATION "${jmod_stage}/lib")
file(COPY "${LICENSE}" DESTINATION "${jmod_stage}/legal")
file(REMOVE "${OUT}")
execute_process(
  COMMAND "${JMOD_TOOL}" create --class-path "${MODULE_CLASSES}:${jmod_stage}/resources"
          --libs "${jmod_stage}/lib" --legal-notices "${jmod_stage}/legal"
          --module-version "${VERSION}" --main-class ruvek.terminal.SerialTerminal
          --target-platform ${jdk_platform_${platform}} "${OUT}"
  RESULT_VARIABLE result)
if(result)
  message(FATAL_ERROR "jmod failed: ${result}")
endif()
