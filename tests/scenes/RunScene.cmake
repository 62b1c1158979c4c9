# Renders SCENE with rgrender into WORK_DIR once per argument set of ARGS
# (separated by '&') and compares the last frame of the first with REFERENCE:
# idiff fails when more than PERCENT % of the pixels differ by more than
# FAIL, or any by more than HARD. Every further set (strips, the host's
# buffer) must write the very same file. With HITS, the frame's statistics
# must count that many cache hits. RG_UPDATE_SCENES=1 copies the frame over
# REFERENCE instead.
file(REMOVE_RECURSE ${WORK_DIR})
string(REPLACE "&" ";" variants "${ARGS}")
list(LENGTH variants count)
if(count EQUAL 0)
  set(count 1)
endif()
math(EXPR last_variant "${count} - 1")
foreach(i RANGE ${last_variant})
  set(text "")
  if(variants)
    list(GET variants ${i} text)
  endif()
  separate_arguments(args UNIX_COMMAND "${text}")
  set(dir ${WORK_DIR}/${i})
  file(MAKE_DIRECTORY ${dir})
  execute_process(COMMAND ${RGRENDER} ${SCENE} -o "${dir}/frame_#.png" ${args} -q
                          --stats ${dir}/stats.json RESULT_VARIABLE rc)
  if(rc)
    message(FATAL_ERROR "rgrender ${text} failed with ${rc}")
  endif()
  file(GLOB frames ${dir}/frame_*.png)
  list(SORT frames COMPARE NATURAL)
  list(POP_BACK frames frame)
  file(SHA256 ${frame} hash)
  if(i EQUAL 0)
    set(first ${frame})
    set(first_hash ${hash})
  elseif(NOT hash STREQUAL first_hash)
    message(FATAL_ERROR "rgrender ${text} wrote ${frame}, which differs from ${first}")
  endif()
endforeach()
if("$ENV{RG_UPDATE_SCENES}" STREQUAL "1")
  file(COPY_FILE ${first} ${REFERENCE})
  message(STATUS "wrote ${REFERENCE}")
  return()
endif()
execute_process(COMMAND ${IDIFF} -fail ${FAIL} -failpercent ${PERCENT} -hardfail ${HARD}
                        -warn ${FAIL} -warnpercent ${PERCENT} -hardwarn ${HARD}
                        -o ${WORK_DIR}/difference.png -abs -scale 20 ${REFERENCE} ${first}
                RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "${first} differs from ${REFERENCE} (idiff ${rc}; "
                      "magnified differences in ${WORK_DIR}/difference.png)")
endif()
if(HITS)
  file(READ ${WORK_DIR}/0/stats.json stats)
  string(JSON last LENGTH "${stats}" frames)
  math(EXPR last "${last} - 1")
  string(JSON got GET "${stats}" frames ${last} cache hits)
  if(NOT got EQUAL HITS)
    message(FATAL_ERROR "frame ${last}: ${got} cache hits, expected ${HITS}")
  endif()
endif()
