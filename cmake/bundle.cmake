# The OSGi headers of a jar's manifest: its name and version, the package
# ruvek exported, and Bundle-NativeCode for the natives packed in it.
# Included from jar.cmake.

# VERSION in OSGi's form major.minor.micro[.qualifier]: project() allows one
# to four numbers, the fourth of which OSGi can only take as the qualifier.
function(osgi_version version out)
  string(REPLACE "." ";" parts "${version}")
  list(LENGTH parts n)
  while(n LESS 3)
    list(APPEND parts 0)
    math(EXPR n "${n} + 1")
  endwhile()
  list(JOIN parts "." joined)
  set(${out} "${joined}" PARENT_SCOPE)
endfunction()

# The attributes by which a framework picks a platform's clause. Several
# values of one attribute mean any of them: frameworks differ in the names
# they give this platform (Felix 4 calls Windows 10 and later "win", others
# take Win32 for every Windows).
set(osgi_windows "osname=Win32;osname=\"Windows 10\";osname=\"Windows 8\";osname=\"Windows 7\";osname=\"Windows Vista\";osname=\"Windows XP\";osname=\"Windows Server 2008\";osname=\"Windows Server 2012\"")
set(osgi_attributes_windows-x86 "${osgi_windows};processor=x86")
set(osgi_attributes_windows-x86_64 "${osgi_windows};processor=x86-64")
set(osgi_attributes_linux-x86_64 "osname=Linux;processor=x86-64")
set(osgi_attributes_linux-aarch64 "osname=Linux;processor=aarch64")
set(osgi_attributes_linux-arm "osname=Linux;processor=arm_le;processor=arm")
set(osgi_attributes_linux-x86 "osname=Linux;processor=x86")

# Appends HEADER to the manifest text in VAR. A manifest line holds 72
# bytes at most: the rest goes on continuation lines that start with a space.
# (The headers are strings, never lists: their ';' would split them.)
function(append_header var header)
  set(text "${${var}}")
  string(LENGTH "${header}" left)
  string(SUBSTRING "${header}" 0 72 line)
  string(APPEND text "${line}\n")
  set(at 72)
  while(at LESS left)
    string(SUBSTRING "${header}" ${at} 71 line)
    string(APPEND text " ${line}\n")
    math(EXPR at "${at} + 71")
  endwhile()
  set(${var} "${text}" PARENT_SCOPE)
endfunction()

# Writes to OUT the manifest BASE with the bundle headers for the jar whose
# natives lie under ROOT/natives, named SYMBOLIC_NAME.
function(bundle_manifest base out root symbolic_name)
  osgi_version("${VERSION}" version)
  file(GLOB folders RELATIVE "${root}/natives" "${root}/natives/*")
  list(SORT folders)
  set(native_code "")
  foreach(platform IN LISTS folders)
    if(NOT DEFINED osgi_attributes_${platform})
      message(FATAL_ERROR "no OSGi attributes for natives/${platform}")
    endif()
    file(GLOB libraries RELATIVE "${root}" "${root}/natives/${platform}/*")
    list(FILTER libraries EXCLUDE REGEX "\\.sha256$")
    list(SORT libraries)
    list(JOIN libraries ";" paths)
    string(APPEND native_code "${paths};${osgi_attributes_${platform}},")
  endforeach()
  # The optional clause: where no clause fits, the bundle still resolves and
  # the library's own loader looks for a native as it does outside OSGi.
  string(APPEND native_code "*")
  file(READ "${base}" text)
  append_header(text "Bundle-ManifestVersion: 2")
  append_header(text "Bundle-SymbolicName: ${symbolic_name}")
  append_header(text "Bundle-Name: ruvek")
  append_header(text "Bundle-Version: ${version}")
  append_header(text "Export-Package: ruvek;version=\"${version}\"")
  append_header(text "Bundle-NativeCode: ${native_code}")
  file(WRITE "${out}" "${text}")
endfunction()
