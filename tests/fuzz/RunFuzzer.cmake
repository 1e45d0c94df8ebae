# Runs one fuzzer for SECONDS from its seed corpus: first every seed once, then mutations. New
# inputs go to WORK/corpus, crash files to WORK/; the seeds folder is only read.
# cmake -DFUZZER=... -DSEEDS=... -DWORK=... [-DDICT=...] -DSECONDS=... -P RunFuzzer.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/tmp)
set(_args -max_total_time=${SECONDS} -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
          -artifact_prefix=${WORK}/)
if(DICT)
  list(APPEND _args -dict=${DICT})
endif()
# The targets' scratch files go under WORK/tmp, on a memory file system when there is one.
if(EXISTS /dev/shm)
  string(RANDOM LENGTH 8 _id)
  set(_tmp /dev/shm/ks-fuzz-${_id})
  file(MAKE_DIRECTORY ${_tmp})
else()
  set(_tmp ${WORK}/tmp)
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env TMPDIR=${_tmp} ${FUZZER} ${_args} ${WORK}/corpus
                        ${SEEDS}
                RESULT_VARIABLE _result)
file(REMOVE_RECURSE ${_tmp})
if(NOT _result EQUAL 0)
  file(GLOB _crashes ${WORK}/crash-* ${WORK}/leak-* ${WORK}/timeout-* ${WORK}/oom-*)
  message(FATAL_ERROR "${FUZZER} failed (${_result}); inputs kept: ${_crashes}")
endif()
