# The token calibration dialog (service/calibration_dlg). It is Qt code, so it lives
# in a library of its own instead of the Qt-free quillon_service.
add_library(quillon_calibration STATIC
  ${PROJECT_SOURCE_DIR}/service/calibration_dlg.cpp
  ${PROJECT_SOURCE_DIR}/service/calibration_dlg.h
  ${PROJECT_SOURCE_DIR}/res/calibration_dlg.ui
)
set_target_properties(quillon_calibration PROPERTIES
  AUTOMOC ON AUTOUIC ON AUTOUIC_SEARCH_PATHS ${PROJECT_SOURCE_DIR}/res)
target_include_directories(quillon_calibration PUBLIC ${PROJECT_SOURCE_DIR})
# quillon_app holds the frame box, the message boxes and the verification endpoint.
target_link_libraries(quillon_calibration PUBLIC
  Qt6::Widgets quillon_app quillon_service quillon_platform)
quillon_warnings(quillon_calibration)
