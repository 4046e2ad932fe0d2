# tarnvik_delay_load(DLL...): the Windows programs of this build import the
# named system DLLs (given as their import library names: version for
# version.dll) on first use instead of at start. For each, a delay-import
# library with every function of MinGW's import library is made at
# configure time, and it takes the place of MinGW's own wherever a target
# names it: Qt's CMake packages name the system libraries by their full
# paths in the link interfaces of Qt's targets (imported in this folder),
# and a plain -lversion finds the delay-import one first. MinGW's runtime
# supplies the loader stub (__delayLoadHelper2), which loads the DLL by name
# with the process's DLL search order at the first call.
#
# GNU ld leaves out the code stub of an import that the program reaches only
# through its __imp_ pointer (as every call to a function declared
# dllimport does), and the pointer, which must start out at that stub,
# would then be zero: a call through it jumps to address 0. An object per DLL
# that names every stub of it (tarnvik_delay_keep_<name>) keeps them all; a
# program links the objects of the DLLs its Qt libraries import
# (tarnvik_delay_names), so that the console program, on Qt Core alone,
# does not name the stubs of the window's DLLs.
function(tarnvik_delay_load)
    find_program(TARNVIK_DLLTOOL NAMES ${TARNVIK_MINGW}-dlltool dlltool REQUIRED)
    set(dir ${CMAKE_BINARY_DIR}/delayload)
    file(MAKE_DIRECTORY ${dir})
    set(stub 0)
    foreach(name ${ARGN})
        set(keep_decls)
        set(keep_refs)
        find_library(TARNVIK_IMPLIB_${name} NAMES ${name} REQUIRED NO_CACHE)
        set(TARNVIK_IMPLIB_${name} ${TARNVIK_IMPLIB_${name}} PARENT_SCOPE)
        set(implib ${TARNVIK_IMPLIB_${name}})
        execute_process(COMMAND ${CMAKE_NM} ${implib} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
        if(NOT rc EQUAL 0)
            message(FATAL_ERROR "${CMAKE_NM} could not read ${implib}")
        endif()
        # "00000000 I __imp__GetFileVersionInfoW@12" -> GetFileVersionInfoW@12
        string(REGEX MATCHALL "I __imp__[^\n]+" imports "${symbols}")
        set(def "LIBRARY ${name}.dll\nEXPORTS\n")
        foreach(symbol ${imports})
            string(REGEX REPLACE "^I __imp__" "" symbol "${symbol}")
            string(APPEND def "    ${symbol}\n")
            math(EXPR stub "${stub} + 1")
            string(APPEND keep_decls "extern void stub${stub}(void) __asm__(\"_${symbol}\");\n")
            string(APPEND keep_refs "    (void *)&stub${stub},\n")
        endforeach()
        list(LENGTH imports count)
        if(count EQUAL 0)
            message(FATAL_ERROR "no functions found in ${implib}")
        endif()
        file(WRITE ${dir}/${name}.def "${def}")
        execute_process(COMMAND ${TARNVIK_DLLTOOL} -k --input-def ${dir}/${name}.def --dllname ${name}.dll
                                --output-delaylib ${dir}/lib${name}.a
                        RESULT_VARIABLE rc ERROR_VARIABLE err)
        if(NOT rc EQUAL 0)
            message(FATAL_ERROR "dlltool could not make the delay-import library of ${name}.dll: ${err}")
        endif()
        file(CONFIGURE OUTPUT ${dir}/keep-${name}.c CONTENT
            "/* Made by cmake/delayload.cmake: names every delay-load stub of ${name}.dll. */\n${keep_decls}\nvoid *const tarnvik_delay_keep_${name}[] __attribute__((used)) = {\n${keep_refs}};\n")
        add_library(tarnvik_delay_keep_${name} OBJECT ${dir}/keep-${name}.c)
    endforeach()
    set(TARNVIK_DELAY_LOADED ${ARGN} PARENT_SCOPE)
    set(TARNVIK_DELAY_DIR ${dir} PARENT_SCOPE)
    link_directories(BEFORE ${dir})
    get_directory_property(imported IMPORTED_TARGETS)
    foreach(target ${imported})
        foreach(property INTERFACE_LINK_LIBRARIES IMPORTED_LINK_INTERFACE_LIBRARIES_RELEASE)
            get_target_property(libraries ${target} ${property})
            if(NOT libraries)
                continue()
            endif()
            set(changed "${libraries}")
            foreach(name ${ARGN})
                string(REPLACE "${TARNVIK_IMPLIB_${name}}" "${dir}/lib${name}.a" changed "${changed}")
            endforeach()
            if(NOT changed STREQUAL libraries)
                set_property(TARGET ${target} PROPERTY ${property} "${changed}")
            endif()
        endforeach()
    endforeach()
endfunction()

# tarnvik_delay_names(OUT TARGET...): the delay-loaded DLLs that the link
# interfaces of the imported TARGETs name.
function(tarnvik_delay_names out)
    set(names)
    foreach(target ${ARGN})
        foreach(property INTERFACE_LINK_LIBRARIES IMPORTED_LINK_INTERFACE_LIBRARIES_RELEASE)
            get_target_property(libraries ${target} ${property})
            foreach(name ${TARNVIK_DELAY_LOADED})
                if(libraries AND "${libraries}" MATCHES "/lib${name}\\.a")
                    list(APPEND names ${name})
                endif()
            endforeach()
        endforeach()
    endforeach()
    list(REMOVE_DUPLICATES names)
    set(${out} ${names} PARENT_SCOPE)
endfunction()
