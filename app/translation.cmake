# The translation catalogues (i18n/*.ts), turned into .qm by lrelease and embedded in
# quillon_translation, the one piece of Qt (QtCore) quillonctl links. Its header is
# Qt-free. The sources' texts are gathered into the catalogues by
# scripts/update-translations.
find_package(Qt6 REQUIRED COMPONENTS Core LinguistTools)

add_library(quillon_translation STATIC
  ${CMAKE_CURRENT_LIST_DIR}/translation.cpp
  ${CMAKE_CURRENT_LIST_DIR}/translation.h
)
target_include_directories(quillon_translation PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(quillon_translation PUBLIC Qt6::Core)
quillon_warnings(quillon_translation)

set(QUILLON_CATALOGUES ${PROJECT_SOURCE_DIR}/i18n/quillon_en.ts
  ${PROJECT_SOURCE_DIR}/i18n/quillon_zh.ts)
set_source_files_properties(${QUILLON_CATALOGUES} PROPERTIES OUTPUT_LOCATION
  ${CMAKE_CURRENT_BINARY_DIR}/i18n)
qt_add_lrelease(quillon_translation TS_FILES ${QUILLON_CATALOGUES}
  QM_FILES_OUTPUT_VARIABLE quillon_qm_files)
qt_add_resources(quillon_translation "quillon_catalogues" PREFIX "/i18n"
  BASE ${CMAKE_CURRENT_BINARY_DIR}/i18n FILES ${quillon_qm_files})
