# README.txt as packaging makes it for the zip, checked without building the zip:
#   cmake -DSOURCE=<repository> -DOUT=<scratch file> -P windows_text_test.cmake
cmake_minimum_required(VERSION 3.25)
include(${CMAKE_CURRENT_LIST_DIR}/windows_text_check.cmake)
execute_process(COMMAND ${CMAKE_COMMAND} -DWHAT=readme-windows -DIN=${SOURCE}/README.md -DOUT=${OUT} -DVERSION=0
                        -P ${SOURCE}/packaging/make_text.cmake
                COMMAND_ERROR_IS_FATAL ANY)
file(READ ${OUT} readme)
# The zip's files, as tests/gui/unpack_zip.cmake finds them in the zip itself.
windows_text_check("${readme}" "LICENSE.txt;Languages/English.ini;Languages/SimplifiedChinese.ini;README.txt;kesp.exe")
