# corvane_publish_headers(TARGET SCOPE NAME DIR): the headers of folder DIR are included as
# "NAME/...h" by TARGET (SCOPE PRIVATE) or also by what links it (PUBLIC, INTERFACE). The folder is
# linked into an include folder of the build tree that holds it alone, so that a library exposes
# its own headers and nothing that happens to sit beside them in the source tree.
function(corvane_publish_headers target scope name dir)
    set(root ${CMAKE_BINARY_DIR}/Include/${target})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${dir} ${root}/${name} SYMBOLIC)
    target_include_directories(${target} ${scope} ${root})
endfunction()
