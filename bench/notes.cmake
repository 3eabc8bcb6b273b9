# The Notes stand-in benchmark (include from bench/CMakeLists.txt).
find_package(benchmark REQUIRED)
add_executable(notes_bench ${CMAKE_CURRENT_LIST_DIR}/notes_bench.cpp)
target_link_libraries(notes_bench PRIVATE notesapi benchmark::benchmark)
set_target_properties(notes_bench PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
prl_warnings(notes_bench)
