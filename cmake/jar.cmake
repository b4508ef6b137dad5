# Packs ruvek.jar from the compiled classes and every native that the builds
# of this source tree have made, each under natives/<os>-<arch>/: SerialPort's
# library ruvek and, beside it, the named API's ruvekline.
# Then packs the module jar MODULE_OUT from MODULE_CLASSES and the ruvekline
# natives alone. Run with -P; JAR_TOOL, CLASSES, OUT, MODULE_CLASSES,
# MODULE_OUT, STAGE, BUILD_ROOT, SELF (this build's libruvek.so), VERSION and
# LICENSE are given.
file(REMOVE_RECURSE "${STAGE}")

function(pack_one file platform)
  file(COPY "${file}" DESTINATION "${STAGE}/natives/${platform}")
  # Its SHA-256 names its cache folder; stored here, no JVM has to compute it.
  file(SHA256 "${file}" sha)
  cmake_path(GET file FILENAME name)
  file(WRITE "${STAGE}/natives/${platform}/${name}.sha256" "${sha}\n")
endfunction()

# SerialPort's library, and the named API's built beside it.
function(pack file platform)
  pack_one("${file}" ${platform})
  cmake_path(GET file PARENT_PATH dir)
  cmake_path(GET file FILENAME name)
  string(REPLACE "ruvek." "ruvekline." line_name "${name}")
  if(NOT EXISTS "${dir}/${line_name}")
    message(FATAL_ERROR "${dir} has ${name} but not ${line_name}: build the whole preset")
  endif()
  pack_one("${dir}/${line_name}" ${platform})
endfunction()

# The jar's folder for a Linux library, read from its ELF header (class and
# e_machine), so that no build can pack a library under another's folder.
function(elf_platform file out)
  file(READ "${file}" header LIMIT 20 HEX)
  string(SUBSTRING "${header}" 0 10 ident) # magic and class
  string(SUBSTRING "${header}" 36 4 machine) # little-endian e_machine
  set(platform "")
  if(ident STREQUAL "7f454c4602" AND machine STREQUAL "3e00")
    set(platform linux-x86_64)
  elseif(ident STREQUAL "7f454c4602" AND machine STREQUAL "b700")
    set(platform linux-aarch64)
  elseif(ident STREQUAL "7f454c4601" AND machine STREQUAL "2800")
    set(platform linux-arm)
  elseif(ident STREQUAL "7f454c4601" AND machine STREQUAL "0300")
    set(platform linux-x86)
  endif()
  set(${out} "${platform}" PARENT_SCOPE)
endfunction()

set(natives
  "windows-x86|${BUILD_ROOT}/windows-x86/ruvek.dll|windows-x86"
  "windows-x86_64|${BUILD_ROOT}/windows-x64/ruvek.dll|windows-x64"
  "linux-x86_64|${BUILD_ROOT}/linux/libruvek.so|linux"
  "linux-aarch64|${BUILD_ROOT}/linux-aarch64/libruvek.so|linux-aarch64"
  "linux-arm|${BUILD_ROOT}/linux-arm/libruvek.so|linux-arm"
  "linux-x86|${BUILD_ROOT}/linux-x86/libruvek.so|linux-x86")

# This build's own library first: it is packed whatever its binary dir.
elf_platform("${SELF}" self_platform)
if(NOT self_platform)
  message(FATAL_ERROR "${SELF} is no Linux library for a platform that ruvek.jar carries")
endif()
pack("${SELF}" ${self_platform})

foreach(entry IN LISTS natives)
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 platform)
  list(GET entry 1 file)
  list(GET entry 2 preset)
  if(platform STREQUAL self_platform)
    continue()
  elseif(NOT EXISTS "${file}")
    message(WARNING "ruvek.jar has no ${platform} native: build the ${preset} preset first")
    continue()
  endif()
  if(platform MATCHES "^linux-")
    elf_platform("${file}" built)
    if(NOT built STREQUAL platform)
      message(FATAL_ERROR "${file} is built for '${built}', not ${platform}: check the ${preset} preset")
    endif()
  endif()
  pack("${file}" ${platform})
endforeach()
# A native image has no jar to read the natives from unless they are named
# as resources: each jar names what it carries, in GraalVM's current format
# and in the one before it. The natives call nothing back in Java, so no JNI
# entries are needed.
function(native_image_metadata root)
  file(GLOB_RECURSE carried RELATIVE "${root}" "${root}/natives/*")
  list(SORT carried)
  set(globs "")
  set(patterns "")
  foreach(entry IN LISTS carried)
    list(APPEND globs "    {\"glob\": \"${entry}\"}")
    list(APPEND patterns "      {\"pattern\": \"\\\\Q${entry}\\\\E\"}")
  endforeach()
  list(JOIN globs ",\n" globs)
  list(JOIN patterns ",\n" patterns)
  set(folder "${root}/META-INF/native-image/ruvek/ruvek")
  file(WRITE "${folder}/reachability-metadata.json" "{\n  \"resources\": [\n${globs}\n  ]\n}\n")
  file(WRITE "${folder}/resource-config.json" "{\n  \"resources\": {\n    \"includes\": [\n${patterns}\n    ]\n  }\n}\n")
endfunction()
native_image_metadata("${STAGE}")

# The license travels with every copy of the jar.
file(COPY "${LICENSE}" DESTINATION "${STAGE}/META-INF")
# Enable-Native-Access: JDK 24 and later warn, and later ones refuse, when
# code on the class path loads a native without it. -jar alone reads it.
file(WRITE "${STAGE}.mf" "Implementation-Title: ruvek\nImplementation-Version: ${VERSION}\nEnable-Native-Access: ALL-UNNAMED\n")
# Each jar is also an OSGi bundle, whose Bundle-NativeCode lists what it carries.
include("${CMAKE_CURRENT_LIST_DIR}/bundle.cmake")
bundle_manifest("${STAGE}.mf" "${STAGE}-bundle.mf" "${STAGE}" ruvek)
file(REMOVE "${OUT}")
execute_process(
  COMMAND "${JAR_TOOL}" --create --file "${OUT}" --main-class ruvek.terminal.SerialTerminal --manifest "${STAGE}-bundle.mf"
          -C "${CLASSES}" . -C "${STAGE}" .
  RESULT_VARIABLE result)
if(result)
  message(FATAL_ERROR "jar failed: ${result}")
endif()

# The module jar: what the named API needs, nothing of SerialPort's.
file(REMOVE_RECURSE "${STAGE}-module")
file(GLOB_RECURSE line_natives RELATIVE "${STAGE}" "${STAGE}/natives/*/*ruvekline*")
foreach(entry IN LISTS line_natives)
  cmake_path(GET entry PARENT_PATH folder)
  file(COPY "${STAGE}/${entry}" DESTINATION "${STAGE}-module/${folder}")
endforeach()
native_image_metadata("${STAGE}-module")
file(COPY "${LICENSE}" DESTINATION "${STAGE}-module/META-INF")
bundle_manifest("${STAGE}.mf" "${STAGE}-module-bundle.mf" "${STAGE}-module" ruvek.module)
file(REMOVE "${MODULE_OUT}")
execute_process(
  COMMAND "${JAR_TOOL}" --create --file "${MODULE_OUT}" --main-class ruvek.terminal.SerialTerminal
          --module-version "${VERSION}" --manifest "${STAGE}-module-bundle.mf" -C "${MODULE_CLASSES}" . -C "${STAGE}-module" .
  RESULT_VARIABLE result)
if(result)
  message(FATAL_ERROR "jar failed for the module jar: ${result}")
endif()
