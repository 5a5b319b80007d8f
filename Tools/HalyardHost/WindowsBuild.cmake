# HalyardHost.exe: walk, and request straight to the module. The HTTP libraries (libmicrohttpd,
# cpp-httplib) are Linux libraries here, so serving and the --url client are left out
# (HttpModes_win.cpp says so when asked).
# nlohmann-json is header-only: its folder alone goes on the include path, not the Linux system
# headers around it.
find_path(CORVANE_NLOHMANN_JSON nlohmann/json.hpp PATHS /usr/include NO_DEFAULT_PATH
          NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(json_include ${CMAKE_BINARY_DIR}/ThirdParty/include)
file(MAKE_DIRECTORY ${json_include})
file(CREATE_LINK ${CORVANE_NLOHMANN_JSON}/nlohmann ${json_include}/nlohmann SYMBOLIC)

add_library(HalyardHostCore STATIC
    HostEnvironment_win.cpp
    HttpModes_win.cpp
    ModuleHost.cpp
    NodeJson.cpp
    SharedLibrary_win.cpp
    StopSignal_win.cpp
    Walk.cpp)
target_include_directories(HalyardHostCore PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_include_directories(HalyardHostCore SYSTEM PUBLIC ${json_include})
target_link_libraries(HalyardHostCore PUBLIC HalyardCommon)

add_executable(HalyardHost HalyardHost.cpp)
target_link_libraries(HalyardHost PRIVATE HalyardHostCore)
add_dependencies(HalyardHost Corvane)

# The sample configuration goes beside the program, where it looks for it.
add_custom_command(TARGET HalyardHost POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different
            ${CMAKE_CURRENT_SOURCE_DIR}/corvane-config.json $<TARGET_FILE_DIR:HalyardHost>)
