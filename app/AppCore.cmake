# The toolkit-free part of the program, shared by the window and the headless check in tools/:
# the settings store on its hive file, the status check and the flower pattern. Included from
# app/ or tools/, whichever comes first.
set(_core ${CMAKE_CURRENT_LIST_DIR})
add_library(vantrel_app_core STATIC
  ${_core}/RegistryHive.cpp
  ${_core}/Utf16Text.cpp
  ${_core}/Registry.cpp
  ${_core}/SettingsStore.cpp
  ${_core}/StatusCheck.cpp
  ${_core}/FreshFileStream.cpp
  ${_core}/FlowerPattern.cpp)
target_include_directories(vantrel_app_core PUBLIC ${_core})
target_link_libraries(vantrel_app_core PUBLIC vantrel::http)
vantrel_target_defaults(vantrel_app_core)
