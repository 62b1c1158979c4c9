# Installs the build tree into a scratch prefix, then configures, builds and
# runs the consumer project against it.
# Inputs: BUILD_DIR, PROJECT_DIR (the consumer's sources), EXECUTABLE, WORK_DIR;
# with PKG_CONFIG and CXX also builds PROJECT_DIR/EXECUTABLE.cpp with the
# flags pkg-config gives, after moving the installed tree elsewhere.
function(step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc)
  if(rc)
    message(FATAL_ERROR "${what} failed (${rc})")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
step("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix)
step("configuring the consumer" ${CMAKE_COMMAND} -S ${PROJECT_DIR} -B ${WORK_DIR}/build
     -DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix)
step("building the consumer" ${CMAKE_COMMAND} --build ${WORK_DIR}/build)
step("the consumer" ${WORK_DIR}/build/${EXECUTABLE})

if(PKG_CONFIG)
  file(RENAME ${WORK_DIR}/prefix ${WORK_DIR}/moved)
  file(GLOB_RECURSE pc_file ${WORK_DIR}/moved/rendergraph.pc)
  get_filename_component(pc_dir "${pc_file}" DIRECTORY)
  set(ENV{PKG_CONFIG_PATH} ${pc_dir})
  execute_process(COMMAND ${PKG_CONFIG} --cflags --libs rendergraph
    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  execute_process(COMMAND ${PKG_CONFIG} --variable=libdir rendergraph
    OUTPUT_VARIABLE libdir OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(rc)
    message(FATAL_ERROR "pkg-config does not know rendergraph")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  step("building with pkg-config's flags (${flags})"
       ${CXX} ${PROJECT_DIR}/${EXECUTABLE}.cpp ${flags} -o ${WORK_DIR}/pkgconfig_consumer)
  step("the pkg-config consumer" ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir}
       ${WORK_DIR}/pkgconfig_consumer)
endif()
