# Stop and restart of the maker's HID service; no Qt.
add_library(quillon_hidservice STATIC ${CMAKE_CURRENT_LIST_DIR}/hid_service.cpp)
target_include_directories(quillon_hidservice PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(quillon_hidservice PUBLIC quillon_receiver quillon_system quillon_process)
quillon_warnings(quillon_hidservice)
