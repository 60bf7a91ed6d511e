# The shared PostgreSQL store and the spooling store, against real servers the tests
# start themselves (support/pg_server): label postgres. Each test makes its own cluster
# in a directory of its own, so they run in parallel.
add_library(quillon_pg_server STATIC ${PROJECT_SOURCE_DIR}/tests/support/pg_server.cpp)
target_include_directories(quillon_pg_server PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(quillon_pg_server PUBLIC quillon_test_support PkgConfig::LIBPQ)
quillon_warnings(quillon_pg_server)

quillon_add_test(results_store_pg_test LABEL postgres
  SOURCES results_store_pg_test.cpp
  LIBS quillon_station_pg quillon_pg_server PkgConfig::LIBPQ)
quillon_add_test(spooling_store_test LABEL postgres
  SOURCES spooling_store_test.cpp
  LIBS quillon_station_pg quillon_pg_server)
