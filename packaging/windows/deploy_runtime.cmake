# Copies what the Windows programs load into DEST (run with cmake -P at build time).
set(QT_PLUGINS
    platforms/qwindows.dll platforms/qoffscreen.dll platforms/qminimal.dll
    sqldrivers/qsqlite.dll styles/qwindowsvistastyle.dll tls/qschannelbackend.dll
    tls/qcertonlybackend.dll imageformats/qico.dll)
set(RUNTIME libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll zlib1.dll)

# Copies `source` into `folder` without its debugging sections (MinGW's own libstdc++ alone carries
# 20 MB of them), unless the copy there is already newer.
function(deploy source folder)
    get_filename_component(name ${source} NAME)
    set(target ${folder}/${name})
    if(EXISTS ${target} AND NOT ${source} IS_NEWER_THAN ${target})
        return()
    endif()
    file(MAKE_DIRECTORY ${folder})
    file(COPY_FILE ${source} ${target})
    if(STRIP)
        execute_process(COMMAND ${STRIP} --strip-debug ${target} RESULT_VARIABLE result)
        if(NOT result EQUAL 0)
            file(REMOVE ${target})
            message(FATAL_ERROR "${STRIP} failed on ${target}")
        endif()
    endif()
    # Newer than its source from now on, also when stripping left it unchanged.
    file(TOUCH ${target})
endfunction()

file(MAKE_DIRECTORY ${DEST})
# FreeRDP installs its DLLs into lib/.
file(GLOB libraries ${PREFIX}/bin/*.dll ${PREFIX}/lib/*.dll)
foreach(library IN LISTS libraries)
    deploy(${library} ${DEST})
endforeach()
# FreeRDP's Windows client, which the compatibility engine embeds.
if(NOT EXISTS ${PREFIX}/bin/wfreerdp.exe)
    message(FATAL_ERROR "wfreerdp.exe is missing from ${PREFIX}/bin: run scripts/build.sh windows-toolchain")
endif()
deploy(${PREFIX}/bin/wfreerdp.exe ${DEST})
foreach(plugin IN LISTS QT_PLUGINS)
    if(EXISTS ${PREFIX}/plugins/${plugin})
        get_filename_component(folder ${plugin} DIRECTORY)
        deploy(${PREFIX}/plugins/${plugin} ${DEST}/${folder})
    endif()
endforeach()
foreach(name IN LISTS RUNTIME)
    set(found "")
    foreach(dir IN LISTS RUNTIME_DIRS)
        if(NOT found AND EXISTS ${dir}/${name})
            set(found ${dir}/${name})
        endif()
    endforeach()
    if(NOT found)
        message(FATAL_ERROR "MinGW runtime library ${name} not found in ${RUNTIME_DIRS}")
    endif()
    deploy(${found} ${DEST})
endforeach()
