# Message modules: resource-only PE files (DLLs without code or entry point) holding the
# message-table resource that a message-compiler (.mc) source describes. Windows loads them with
# LoadLibraryExW as data files; so does Platform/Win32 on Linux.
#
#   corvane_add_message_module(<target> MC <file.mc> OUTPUT_NAME <file.dll>)
#
# builds <file.dll> into the runtime output directory (bin/) as part of ALL. The .mc source is
# written with CR LF line ends before compiling, so every message text ends in CR LF as Windows
# message texts do, whatever the line ends of the checkout. The message table is UTF-16.
#
# With MSVC the Windows SDK's mc.exe and rc.exe build it as a normal resource-only DLL;
# everywhere else the mingw-w64 binutils do (windmc, windres, ld), both in the Linux build and in
# the mingw cross-build for Windows.
#
# Run as a script (cmake -DINPUT=... -DOUTPUT=... -P MessageModule.cmake) it performs the CR LF
# conversion.

if(CMAKE_SCRIPT_MODE_FILE)
    file(READ "${INPUT}" text)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE "${OUTPUT}.tmp" "${text}")
    file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
    file(REMOVE "${OUTPUT}.tmp")
    return()
endif()

set(CORVANE_MESSAGE_MODULE_SCRIPT ${CMAKE_CURRENT_LIST_FILE})

if(NOT MSVC)
    find_program(CORVANE_WINDMC NAMES x86_64-w64-mingw32-windmc windmc REQUIRED)
    find_program(CORVANE_WINDRES NAMES x86_64-w64-mingw32-windres windres REQUIRED)
    find_program(CORVANE_PE_LD NAMES x86_64-w64-mingw32-ld REQUIRED)
endif()

function(corvane_add_message_module target)
    cmake_parse_arguments(ARG "" "MC;OUTPUT_NAME" "" ${ARGN})
    if(NOT ARG_MC OR NOT ARG_OUTPUT_NAME)
        message(FATAL_ERROR "corvane_add_message_module(${target}): MC and OUTPUT_NAME are required")
    endif()
    get_filename_component(source ${ARG_MC} ABSOLUTE)
    get_filename_component(base ${ARG_MC} NAME_WE)
    set(work ${CMAKE_CURRENT_BINARY_DIR}/${target}.mc)
    set(crlf ${work}/${base}.mc)
    set(rc ${work}/${base}.rc)
    set(out_dir ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
    if(NOT out_dir)
        set(out_dir ${CMAKE_CURRENT_BINARY_DIR})
    endif()
    set(dll ${out_dir}/${ARG_OUTPUT_NAME})

    add_custom_command(OUTPUT ${crlf}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${work}
        COMMAND ${CMAKE_COMMAND} -DINPUT=${source} -DOUTPUT=${crlf} -P ${CORVANE_MESSAGE_MODULE_SCRIPT}
        DEPENDS ${source} ${CORVANE_MESSAGE_MODULE_SCRIPT}
        COMMENT "Preparing message source ${ARG_MC}"
        VERBATIM)

    if(MSVC)
        add_custom_command(OUTPUT ${rc}
            COMMAND mc -U -h ${work} -r ${work} ${crlf}
            DEPENDS ${crlf}
            COMMENT "Compiling messages ${ARG_MC}"
            VERBATIM)
        add_library(${target} MODULE ${rc})
        get_filename_component(name_we ${ARG_OUTPUT_NAME} NAME_WE)
        set_target_properties(${target} PROPERTIES OUTPUT_NAME ${name_we} PREFIX "" SUFFIX ".dll"
            LINKER_LANGUAGE C)
        target_link_options(${target} PRIVATE /NOENTRY /MANIFEST:NO)
        return()
    endif()

    set(object ${work}/${base}.res.o)
    add_custom_command(OUTPUT ${rc}
        COMMAND ${CORVANE_WINDMC} -U -h ${work} -r ${work} ${crlf}
        DEPENDS ${crlf}
        WORKING_DIRECTORY ${work}
        COMMENT "Compiling messages ${ARG_MC}"
        VERBATIM)
    add_custom_command(OUTPUT ${object}
        COMMAND ${CORVANE_WINDRES} --input-format=rc --output-format=coff --include-dir=${work}
                -i ${rc} -o ${object}
        DEPENDS ${rc}
        WORKING_DIRECTORY ${work}
        COMMENT "Compiling resources of ${ARG_OUTPUT_NAME}"
        VERBATIM)
    # A DLL of resources only: no code, no imports, entry point 0 so no code runs on a real load.
    add_custom_command(OUTPUT ${dll}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${out_dir}
        COMMAND ${CORVANE_PE_LD} --dll -e 0 -s --subsystem windows --no-insert-timestamp
                -o ${dll} ${object}
        DEPENDS ${object}
        COMMENT "Linking message module ${ARG_OUTPUT_NAME}"
        VERBATIM)
    add_custom_target(${target} ALL DEPENDS ${dll})
    set_target_properties(${target} PROPERTIES MESSAGE_MODULE_FILE ${dll})
endfunction()
