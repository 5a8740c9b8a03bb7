# Assembles the development bundle at build/VantrelAgent/: bin/VantrelAgent (placed there by its
# target), lib/vantrel-desktop.so (the desktop shell, with the GUI), lib/vantrel-setup-window (the setup window's own process, with the GUI), Resources/python (a Python home made from the system's python3), Resources/lib (the
# reference agent), Resources/menubar.png, Resources/icons/hicolor (the icons by name, which the desktop
# looks up after the installed themes), Resources/vantrel-agent.service (the user unit) and Info.json.

set(VANTREL_BUNDLE_DIR "${CMAKE_BINARY_DIR}/VantrelAgent")
set(VANTREL_RESOURCES_DIR "${VANTREL_BUNDLE_DIR}/Resources")

find_program(VANTREL_SYSTEM_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
execute_process(
    COMMAND "${VANTREL_SYSTEM_PYTHON}" -c "import sys, os; print(f'{sys.version_info[0]}.{sys.version_info[1]}'); print(os.path.realpath(sys.executable)); print(os.path.dirname(os.__file__))"
    OUTPUT_VARIABLE _python_facts OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "\n" ";" _python_facts "${_python_facts}")
list(GET _python_facts 0 VANTREL_PYTHON_VERSION)
list(GET _python_facts 1 VANTREL_PYTHON_EXECUTABLE)
list(GET _python_facts 2 VANTREL_PYTHON_STDLIB)

if(VANTREL_API_BASE STREQUAL "")
    set(_info_json "{\n  \"CFBundleShortVersionString\": \"${VANTREL_BUNDLE_VERSION}\"\n}\n")
else()
    set(_info_json "{\n  \"CFBundleShortVersionString\": \"${VANTREL_BUNDLE_VERSION}\",\n  \"VantrelAPIBase\": \"${VANTREL_API_BASE}\"\n}\n")
endif()
file(GENERATE OUTPUT "${VANTREL_BUNDLE_DIR}/Info.json" CONTENT "${_info_json}")

# Copies the folder SOURCE to DESTINATION whole (nothing of an earlier copy stays) whenever a file
# matching PATTERN under it changes; STAMP names the step's output.
function(vantrel_copy_folder source destination pattern stamp comment)
    file(GLOB_RECURSE _files CONFIGURE_DEPENDS "${source}/${pattern}")
    add_custom_command(
        OUTPUT "${stamp}"
        COMMAND ${CMAKE_COMMAND} -E rm -rf "${destination}"
        COMMAND ${CMAKE_COMMAND} -E copy_directory "${source}" "${destination}"
        COMMAND ${CMAKE_COMMAND} -E touch "${stamp}"
        DEPENDS ${_files}
        COMMENT "${comment}")
endfunction()

set(_agent_stamp "${CMAKE_BINARY_DIR}/bundle-agent.stamp")
vantrel_copy_folder("${PROJECT_SOURCE_DIR}/reference-agent/vantrel_agent"
    "${VANTREL_RESOURCES_DIR}/lib/vantrel_agent" "*.py" "${_agent_stamp}"
    "Copying the reference agent into the bundle")

set(_python_home "${VANTREL_RESOURCES_DIR}/python")
add_custom_command(
    OUTPUT "${_python_home}/bin/python3"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${_python_home}/bin" "${_python_home}/lib"
    COMMAND ${CMAKE_COMMAND} -E copy "${VANTREL_PYTHON_EXECUTABLE}" "${_python_home}/bin/python3"
    COMMAND ${CMAKE_COMMAND} -E create_symlink "${VANTREL_PYTHON_STDLIB}" "${_python_home}/lib/python${VANTREL_PYTHON_VERSION}"
    DEPENDS "${VANTREL_PYTHON_EXECUTABLE}"
    COMMENT "Making the bundle's Python home")

add_custom_command(
    OUTPUT "${VANTREL_RESOURCES_DIR}/menubar.png"
    COMMAND ${CMAKE_COMMAND} -E copy "${PROJECT_SOURCE_DIR}/resources/menubar.png" "${VANTREL_RESOURCES_DIR}/menubar.png"
    DEPENDS "${PROJECT_SOURCE_DIR}/resources/menubar.png")

set(_icons_stamp "${CMAKE_BINARY_DIR}/bundle-icons.stamp")
vantrel_copy_folder("${PROJECT_SOURCE_DIR}/resources/icons/hicolor"
    "${VANTREL_RESOURCES_DIR}/icons/hicolor" "*" "${_icons_stamp}"
    "Copying the icons into the bundle")

# The user unit's template, which an install outside the package manager fills with its own path.
add_custom_command(
    OUTPUT "${VANTREL_RESOURCES_DIR}/vantrel-agent.service"
    COMMAND ${CMAKE_COMMAND} -E copy "${PROJECT_SOURCE_DIR}/resources/vantrel-agent.service" "${VANTREL_RESOURCES_DIR}/vantrel-agent.service"
    DEPENDS "${PROJECT_SOURCE_DIR}/resources/vantrel-agent.service")

add_custom_target(bundle ALL
    DEPENDS "${_agent_stamp}" "${_python_home}/bin/python3" "${VANTREL_RESOURCES_DIR}/menubar.png"
            "${_icons_stamp}" "${VANTREL_RESOURCES_DIR}/vantrel-agent.service" VantrelAgent)
if(TARGET vantrel_desktop)
    add_dependencies(bundle vantrel_desktop)
endif()
if(TARGET vantrel_setup_window)
    add_dependencies(bundle vantrel_setup_window)
endif()
