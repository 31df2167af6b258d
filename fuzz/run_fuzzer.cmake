# Runs one fuzz target on its corpus for FUZZ_SECONDS seconds (from the environment, 20 unless
# set), its output kept in a log file; says how far it got, and shows the end of the log when it
# found something.
#   cmake -DFUZZER=<program> -DCORPUS=<folder> -DLOG=<file> -P run_fuzzer.cmake
set(seconds 20)
if(DEFINED ENV{FUZZ_SECONDS})
  set(seconds "$ENV{FUZZ_SECONDS}")
endif()
file(MAKE_DIRECTORY "${CORPUS}")
execute_process(
  COMMAND "${FUZZER}" -max_total_time=${seconds} -max_len=8192 -print_final_stats=1 "${CORPUS}"
  OUTPUT_FILE "${LOG}" ERROR_FILE "${LOG}" RESULT_VARIABLE status)
file(STRINGS "${LOG}" stats REGEX "^(Done|stat::number_of_executed_units)")
foreach(line IN LISTS stats)
  message("${line}")
endforeach()
if(NOT status EQUAL 0)
  file(STRINGS "${LOG}" lines)
  list(LENGTH lines count)
  math(EXPR from "${count} - 40")
  if(from LESS 0)
    set(from 0)
  endif()
  list(SUBLIST lines ${from} 40 tail)
  list(JOIN tail "\n" text)
  message(FATAL_ERROR "${FUZZER} ended with ${status}; the end of ${LOG}:\n${text}")
endif()
