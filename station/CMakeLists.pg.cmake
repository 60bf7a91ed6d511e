# The line's shared PostgreSQL database (libpq), and the store that keeps every run
# locally and spools what the shared one could not take.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBPQ REQUIRED IMPORTED_TARGET GLOBAL libpq)
find_package(nlohmann_json REQUIRED)

add_library(quillon_station_pg STATIC
  results_store_pg.cpp
  spooling_store.cpp
)
target_include_directories(quillon_station_pg PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(quillon_station_pg PUBLIC quillon_station
  PRIVATE PkgConfig::LIBPQ nlohmann_json::nlohmann_json)
quillon_warnings(quillon_station_pg)
