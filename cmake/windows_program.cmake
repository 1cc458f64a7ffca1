# The uninstaller itself: a GUI-subsystem program with no C runtime, no
# resource but its manifest, and no imports beyond KERNEL32 and USER32.

# Nothing here may call into a runtime: no exceptions, no RTTI, no guarded
# statics, no stack probes, and no copy loops turned into memcpy or memset.
# A stray runtime call then fails the link instead of slipping into the imports.
# Unwind tables are kept, spelled out: the x64 ABI wants a function-table entry
# (.pdata, with its unwind codes in .xdata) for every function that is not a
# leaf, or exception dispatch, crash dumps, debuggers and security products
# that walk call stacks stop at the program's frames. Without exceptions no
# entry names a handler, so no personality routine, and no runtime, comes in.
set(uninstaller_compile_options
  -Os -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-stack-protector
  -fno-tree-loop-distribute-patterns -fasynchronous-unwind-tables -fno-ident
  -Wall -Wextra -Werror)
target_compile_options(uninstall PRIVATE ${uninstaller_compile_options})

enable_language(RC)
add_executable(SorrelvaneUninstall WIN32
  app/main.cpp
  app/uninstaller.rc
  platform/environment_block.cpp
  platform/win32_platform.cpp)
target_compile_options(SorrelvaneUninstall PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${uninstaller_compile_options}>)
# The program calls into kernel32 and user32 alone; the rest of windows.h
# would only slow every build, and a release builds afresh each time.
target_compile_definitions(SorrelvaneUninstall PRIVATE WIN32_LEAN_AND_MEAN)
set_source_files_properties(app/uninstaller.rc PROPERTIES
  OBJECT_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/app/uninstaller.manifest)
target_link_options(SorrelvaneUninstall PRIVATE
  -nostdlib -nostartfiles -s
  -Wl,--entry=UninstallerEntry
  -Wl,--subsystem,windows
  # Relocatable anywhere in the 64-bit space, data never executable, and no
  # compatibility shims under Terminal Services, spelled out rather than left
  # to the linker's defaults. Windows moves an exe only if it has a relocation
  # table, so one is always written.
  -Wl,--dynamicbase,--high-entropy-va,--nxcompat,--tsaware,--enable-reloc-section
  -Wl,--gc-sections
  -Wl,--no-insert-timestamp
  -Wl,--build-id=none)
# CMake's own list of default Windows libraries would add imports we do not use.
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
target_link_libraries(SorrelvaneUninstall PRIVATE uninstall kernel32 user32)
set_target_properties(SorrelvaneUninstall PROPERTIES
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})

enable_testing()
set(release_test_dir ${CMAKE_BINARY_DIR}/release-test)
add_subdirectory(tests/binary)
add_subdirectory(tests/release)
add_subdirectory(tests/e2e)
