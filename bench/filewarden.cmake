# The file-transfer plug-in's copy against copy_file_range + fsync of the
# same bytes (include from bench/CMakeLists.txt).
add_executable(filewarden_bench ${CMAKE_CURRENT_LIST_DIR}/filewarden_bench.cpp)
target_link_libraries(filewarden_bench PRIVATE prlwin stdda_headers ${CMAKE_DL_LIBS})
target_compile_definitions(filewarden_bench PRIVATE FILEWARDEN_SO="$<TARGET_FILE:filewarden>")
set_target_properties(filewarden_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
add_dependencies(filewarden_bench filewarden)
prl_warnings(filewarden_bench)
