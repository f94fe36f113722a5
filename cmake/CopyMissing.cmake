# Copies each file under SOURCE to DEST unless a file of that name is already there.
file(GLOB_RECURSE samples RELATIVE "${SOURCE}" "${SOURCE}/*")
foreach(relative IN LISTS samples)
    if(NOT EXISTS "${DEST}/${relative}")
        get_filename_component(dir "${DEST}/${relative}" DIRECTORY)
        file(MAKE_DIRECTORY "${dir}")
        file(COPY_FILE "${SOURCE}/${relative}" "${DEST}/${relative}")
    endif()
endforeach()
