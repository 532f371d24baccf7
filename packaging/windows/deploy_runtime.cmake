# Copies what the Windows programs load into DEST (run with cmake -P at build time).
set(QT_PLUGINS
    platforms/qwindows.dll platforms/qoffscreen.dll platforms/qminimal.dll
    sqldrivers/qsqlite.dll styles/qwindowsvistastyle.dll tls/qschannelbackend.dll
    tls/qcertonlybackend.dll imageformats/qico.dll)
set(RUNTIME libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll zlib1.dll)

file(MAKE_DIRECTORY ${DEST})
# FreeRDP installs its DLLs into lib/.
file(GLOB libraries ${PREFIX}/bin/*.dll ${PREFIX}/lib/*.dll)
foreach(library IN LISTS libraries)
    file(COPY ${library} DESTINATION ${DEST})
endforeach()
foreach(plugin IN LISTS QT_PLUGINS)
    if(EXISTS ${PREFIX}/plugins/${plugin})
        get_filename_component(folder ${plugin} DIRECTORY)
        file(COPY ${PREFIX}/plugins/${plugin} DESTINATION ${DEST}/${folder})
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
    file(COPY ${found} DESTINATION ${DEST})
endforeach()
