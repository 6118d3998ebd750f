# Build rules shared by every folder: warnings, static Windows linking, sanitizers on the
# host, GoogleTest built with the same toolchain, and one helper to declare a test program.

if(WIN32)
  # Statically linked: no MinGW run-time DLLs beside the executables and DLLs.
  add_link_options(-static -static-libgcc -static-libstdc++)
  add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 UNICODE _UNICODE)
  set(GALVORAND_PLATFORM win)
else()
  set(GALVORAND_PLATFORM posix)
  option(GALVORAND_SANITIZE "Build the host tree with AddressSanitizer and UBSan" ON)
  if(GALVORAND_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
  endif()
  if(GALVORAND_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    # Coverage for the fuzz targets in every library they link, not only in their own files.
    add_compile_options(-fsanitize=fuzzer-no-link)
  endif()
endif()

add_compile_options(-Wall -Wextra -Wno-unused-parameter -Wshadow)
# scripts/test (and so CI) builds with warnings as errors; vendor sources are built with -w.
option(GALVORAND_WERROR "Treat warnings in the project's own code as errors" OFF)
if(GALVORAND_WERROR)
  add_compile_options(-Werror)
endif()


# galvorand_system_library(name...)
# Windows: for each system DLL `name`, the target gv_sys_<name> that libraries link instead of
# the plain import library. On x86_64, a program whose GALVORAND_DELAY_LOAD property is on gets
# a delay-import library made from the same import library: the system loads that DLL at the
# first call of one of its functions instead of before the program starts. Everything else
# links the import library as it is, and so does all of the i686 build: there the linker fills
# the delay-import address table of dlltool's libraries with zeros (the first call jumps to
# address 0).
function(galvorand_system_library)
  foreach(name IN LISTS ARGN)
    if(NOT CMAKE_SIZEOF_VOID_P EQUAL 8)
      add_library(gv_sys_${name} INTERFACE)
      target_link_libraries(gv_sys_${name} INTERFACE ${name})
      continue()
    endif()
    find_library(GALVORAND_IMPORT_${name} NAMES lib${name}.a REQUIRED NO_CACHE)
    set(implib ${GALVORAND_IMPORT_${name}})
    execute_process(COMMAND ${CMAKE_NM} ${implib} OUTPUT_VARIABLE symbols
                    COMMAND_ERROR_IS_FATAL ANY)
    # Each export has an import pointer "__imp_<name>".
    string(REGEX MATCHALL " I __imp_[^\n]+" imports "${symbols}")
    string(TOUPPER ${name} upper)
    set(def "LIBRARY ${upper}.dll\nEXPORTS\n")
    foreach(entry IN LISTS imports)
      string(REGEX REPLACE "^ I __imp_" "" symbol "${entry}")
      string(APPEND def "${symbol}\n")
    endforeach()
    set(folder ${CMAKE_BINARY_DIR}/delay-import)
    file(MAKE_DIRECTORY ${folder})
    file(WRITE ${folder}/${name}.def "${def}")
    execute_process(COMMAND ${CMAKE_DLLTOOL} --input-def ${folder}/${name}.def
                            --dllname ${upper}.dll --output-delaylib ${folder}/lib${name}_delay.a
                    COMMAND_ERROR_IS_FATAL ANY)
    add_library(gv_sys_${name} INTERFACE)
    target_link_libraries(gv_sys_${name} INTERFACE
      "$<IF:$<BOOL:$<TARGET_PROPERTY:GALVORAND_DELAY_LOAD>>,${folder}/lib${name}_delay.a,${name}>")
  endforeach()
endfunction()

# galvorand_split_debug(target)
# Windows: the program ships without its debug information, which goes to <file>.debug beside
# it (found by debuggers through the debug link). The system maps every section of a program
# when it starts, debug sections included: several megabytes for the launcher, read on each
# start of the game.
function(galvorand_split_debug target)
  if(NOT WIN32)
    return()
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}>
            $<TARGET_FILE:${target}>.debug
    COMMAND ${CMAKE_OBJCOPY} --strip-debug
            --add-gnu-debuglink=$<TARGET_FILE:${target}>.debug $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()

macro(galvorand_add_googletest)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # The vendor sources trip our warning flags; they are not ours to fix.
  target_compile_options(gtest PRIVATE -w)
  target_compile_options(gtest_main PRIVATE -w)
endmacro()

# galvorand_add_test(NAME name SOURCES ... LIBS ... [LABELS ...])
# One GoogleTest program per library. Windows programs run through the emulator of the
# toolchain file (wine); each writes its results as XML beside the build for the summary.
function(galvorand_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} gtest gtest_main)
  set(xml ${CMAKE_BINARY_DIR}/test-results/${T_NAME}.xml)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/test-results)
  if(WIN32)
    # Wine sees the Unix file system as drive Z:.
    string(REPLACE "/" "\\" xml "Z:${xml}")
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_NAME} --gtest_output=xml:${xml})
  set_tests_properties(${T_NAME} PROPERTIES LABELS "unit;${T_LABELS}" TIMEOUT 300)
endfunction()

# galvorand_add_fuzzer(NAME name SOURCES ... LIBS ... CORPUS folder)
# A libFuzzer target of the host build (clang only). CTest replays its seed corpus, so every
# input that once crashed stays a regression test; scripts/fuzz runs it for a given time.
function(galvorand_add_fuzzer)
  cmake_parse_arguments(F "" "NAME;CORPUS" "SOURCES;LIBS" ${ARGN})
  if(WIN32 OR NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    return()
  endif()
  add_executable(${F_NAME} ${F_SOURCES})
  target_compile_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS})
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
  add_test(NAME ${F_NAME}_corpus COMMAND ${F_NAME} -runs=0 ${F_CORPUS})
  set_tests_properties(${F_NAME}_corpus PROPERTIES LABELS "fuzz" TIMEOUT 300)
  set_property(GLOBAL APPEND PROPERTY GALVORAND_FUZZERS "${F_NAME}|${F_CORPUS}")
endfunction()

# Made anew at every configure, so a header that moved to another target or went away is
# no longer offered by its old owner.
file(REMOVE_RECURSE ${CMAKE_BINARY_DIR}/include)

# galvorand_headers(target header...)
# The headers `target` offers, named relative to the current folder. Every target has an
# include folder of its own in the build tree that holds links to exactly its headers under
# their paths from the repository root ("libs/tovik/tovik.h"), and exports only that folder: a
# source can include a header only when its target links the header's owner.
function(galvorand_headers target)
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  foreach(header IN LISTS ARGN)
    set(link ${root}/${folder}/${header})
    get_filename_component(parent ${link} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR}/${header} ${link} SYMBOLIC)
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()

# Writes build/layers.txt for scripts/check-includes: one line per target of the tree with its
# folder, its sources, the targets it links and the targets its users link through it.
function(galvorand_write_layers)
  set(lines "")
  set(folders ${PROJECT_SOURCE_DIR})
  while(folders)
    list(POP_FRONT folders folder)
    get_property(subfolders DIRECTORY ${folder} PROPERTY SUBDIRECTORIES)
    list(APPEND folders ${subfolders})
    get_property(targets DIRECTORY ${folder} PROPERTY BUILDSYSTEM_TARGETS)
    foreach(target IN LISTS targets)
      get_target_property(type ${target} TYPE)
      if(type STREQUAL "UTILITY")
        continue()
      endif()
      set(sources "")
      if(NOT type STREQUAL "INTERFACE_LIBRARY")
        get_target_property(sources ${target} SOURCES)
      endif()
      get_target_property(links ${target} LINK_LIBRARIES)
      get_target_property(interface ${target} INTERFACE_LINK_LIBRARIES)
      foreach(var sources links interface)
        if(NOT ${var})
          set(${var} "")
        endif()
      endforeach()
      string(APPEND lines "${target}\t${folder}\t${sources}\t${links}\t${interface}\n")
    endforeach()
  endwhile()
  file(WRITE ${CMAKE_BINARY_DIR}/layers.txt "${lines}")
endfunction()
