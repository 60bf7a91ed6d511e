# The remote picture and its key highlight: key rectangle table (Qt-free), the
# dialog's background and picture painting, and the bitmaps as Qt resources.
# The resources sit in a static library, so users call InitRemoteResources()
# (remote_picture.h) before loading them.
add_library(quillon_picture STATIC
  ${CMAKE_CURRENT_LIST_DIR}/key_rects.cpp
  ${CMAKE_CURRENT_LIST_DIR}/remote_picture.cpp
  ${PROJECT_SOURCE_DIR}/res/remote.qrc
)
set_target_properties(quillon_picture PROPERTIES AUTORCC ON AUTOMOC ON)
target_include_directories(quillon_picture PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(quillon_picture PUBLIC Qt6::Widgets quillon_receiver)
quillon_warnings(quillon_picture)
