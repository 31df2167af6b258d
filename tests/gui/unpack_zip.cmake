# The fixture of the zip's test: CPack makes the zip of this build as the target "package" does,
# it is unpacked into an empty folder, and what it holds is checked.
#   cmake -DCPACK=<cpack> -DBUILD=<build dir> -DFOLDER=<scratch> -DVERSION=<v> -P unpack_zip.cmake
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/../docs/windows_text_check.cmake)
file(REMOVE_RECURSE ${FOLDER})
execute_process(COMMAND ${CPACK} -G ZIP --config ${BUILD}/CPackConfig.cmake -B ${FOLDER}/package
                COMMAND_ERROR_IS_FATAL ANY)
set(zip ${FOLDER}/package/tervane-${VERSION}-win64.zip)
set(unpacked ${FOLDER}/Tervane)
file(ARCHIVE_EXTRACT INPUT ${zip} DESTINATION ${unpacked})

file(GLOB_RECURSE files RELATIVE ${unpacked} ${unpacked}/*)
list(SORT files)
if(NOT files STREQUAL "LICENSE.txt;Languages/English.ini;Languages/SimplifiedChinese.ini;README.txt;kesp.exe")
  message(FATAL_ERROR "${zip} holds '${files}'")
endif()
# file(READ) drops carriage returns: the line ends are looked at as bytes.
foreach(text README.txt LICENSE.txt)
  file(READ ${unpacked}/${text} hex HEX)
  string(REGEX REPLACE "(..)" "\\1 " bytes "${hex}")
  if(bytes MATCHES "(^|[^d] |[^0]d )0a")
    message(FATAL_ERROR "${text} has a line that does not end in CRLF")
  endif()
endforeach()
file(READ ${unpacked}/README.txt readme)
if(NOT readme MATCHES "^Tervane ${VERSION}\n" OR NOT readme MATCHES "kesp.exe -install" OR readme MATCHES "`|!\\[")
  message(FATAL_ERROR "README.txt is not README.md's Windows section as text:\n${readme}")
endif()
windows_text_check("${readme}" "${files}")
