# The main window, its calibration dialog, the station window and the application:
# library quillon_app (everything but main()) and the program quillon.

set(CMAKE_AUTOUIC_SEARCH_PATHS ${PROJECT_SOURCE_DIR}/res)

add_library(quillon_app STATIC
  ${CMAKE_CURRENT_LIST_DIR}/app.cpp
  ${CMAKE_CURRENT_LIST_DIR}/app.h
  ${CMAKE_CURRENT_LIST_DIR}/main_dlg.cpp
  ${CMAKE_CURRENT_LIST_DIR}/main_dlg.h
  ${CMAKE_CURRENT_LIST_DIR}/about_dlg.cpp
  ${CMAKE_CURRENT_LIST_DIR}/about_dlg.h
  ${CMAKE_CURRENT_LIST_DIR}/accessibility.cpp
  ${CMAKE_CURRENT_LIST_DIR}/accessibility.h
  ${CMAKE_CURRENT_LIST_DIR}/calibration_dlg.cpp
  ${CMAKE_CURRENT_LIST_DIR}/calibration_dlg.h
  ${CMAKE_CURRENT_LIST_DIR}/message_box.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fixed_serial.cpp
  ${CMAKE_CURRENT_LIST_DIR}/station_picture.cpp
  ${CMAKE_CURRENT_LIST_DIR}/station_picture.h
  ${CMAKE_CURRENT_LIST_DIR}/station_window.cpp
  ${CMAKE_CURRENT_LIST_DIR}/station_window.h
  ${PROJECT_SOURCE_DIR}/res/main_dlg.ui
  ${PROJECT_SOURCE_DIR}/res/about_dlg.ui
  ${PROJECT_SOURCE_DIR}/res/calibration_dlg.ui
  ${PROJECT_SOURCE_DIR}/res/station_window.ui
)
target_include_directories(quillon_app PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(quillon_app PUBLIC
  Qt6::Widgets quillon_translation quillon_picture quillon_station quillon_hidservice quillon_diagnosis quillon_service_flows quillon_decode
  quillon_receiver quillon_hid quillon_system quillon_process)
quillon_warnings(quillon_app)

add_executable(quillon ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
target_link_libraries(quillon PRIVATE quillon_app)
target_compile_definitions(quillon PRIVATE "QUILLON_VERSION=\"${PROJECT_VERSION}\"")
quillon_warnings(quillon)
