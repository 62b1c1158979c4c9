# Renders SCENE with rgrender ARGS into WORK_DIR and compares its last frame
# with REFERENCE: idiff fails when more than PERCENT % of the pixels differ by
# more than FAIL, or any by more than HARD. With HITS, the frame's statistics
# must count that many cache hits. RG_UPDATE_SCENES=1 copies the frame over
# REFERENCE instead, when REFERENCE is the test's own (OWNER).
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
separate_arguments(args UNIX_COMMAND "${ARGS}")
execute_process(COMMAND ${RGRENDER} ${SCENE} -o "${WORK_DIR}/frame_#.png" ${args} -q
                        --stats ${WORK_DIR}/stats.json RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "rgrender failed with ${rc}")
endif()
file(GLOB frames ${WORK_DIR}/frame_*.png)
list(SORT frames COMPARE NATURAL)
list(POP_BACK frames frame)
if("$ENV{RG_UPDATE_SCENES}" STREQUAL "1")
  get_filename_component(own ${REFERENCE} NAME_WE)
  if(own STREQUAL OWNER)
    file(COPY_FILE ${frame} ${REFERENCE})
    message(STATUS "wrote ${REFERENCE}")
  endif()
  return()
endif()
execute_process(COMMAND ${IDIFF} -fail ${FAIL} -failpercent ${PERCENT} -hardfail ${HARD}
                        -warn ${FAIL} -warnpercent ${PERCENT} -hardwarn ${HARD}
                        -o ${WORK_DIR}/difference.png -abs -scale 20 ${REFERENCE} ${frame}
                RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "${frame} differs from ${REFERENCE} (idiff ${rc}; "
                      "magnified differences in ${WORK_DIR}/difference.png)")
endif()
if(HITS)
  file(READ ${WORK_DIR}/stats.json stats)
  string(JSON last LENGTH "${stats}" frames)
  math(EXPR last "${last} - 1")
  string(JSON got GET "${stats}" frames ${last} cache hits)
  if(NOT got EQUAL HITS)
    message(FATAL_ERROR "frame ${last}: ${got} cache hits, expected ${HITS}")
  endif()
endif()
