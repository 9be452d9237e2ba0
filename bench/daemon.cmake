add_executable(bench_daemon ${CMAKE_CURRENT_LIST_DIR}/bench_daemon.cpp)
target_link_libraries(bench_daemon PRIVATE bastor_helper)
