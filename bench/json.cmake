# JSON parse and serialize throughput, with RapidJSON and nlohmann-json side by
# side as peers (used here only, never by the framework).
find_path(RAPIDJSON_INCLUDE_DIR rapidjson/document.h REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
add_executable(bench_json ${CMAKE_CURRENT_LIST_DIR}/json_bench.cpp)
target_include_directories(bench_json PRIVATE ${CMAKE_SOURCE_DIR} ${RAPIDJSON_INCLUDE_DIR})
target_link_libraries(bench_json PRIVATE ApplicationStatic benchmark::benchmark nlohmann_json::nlohmann_json)
