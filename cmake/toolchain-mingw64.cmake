# Cross toolchain for the Windows x64 deliverables: mingw-w64 with POSIX threads
# (the win32-thread variant of gcc 12 has no std::thread), linked statically so
# that Wine needs no libstdc++ or winpthread DLLs beside the programs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TQM_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${TQM_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TQM_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${TQM_MINGW_TRIPLE}-windres)
set(CMAKE_AR           ${TQM_MINGW_TRIPLE}-ar)
set(CMAKE_RANLIB       ${TQM_MINGW_TRIPLE}-ranlib)
set(TQM_OBJDUMP        ${TQM_MINGW_TRIPLE}-objdump)
set(TQM_OBJCOPY        ${TQM_MINGW_TRIPLE}-objcopy)
set(TQM_NM             ${TQM_MINGW_TRIPLE}-nm)

set(TQM_MINGW_SYSROOT /usr/${TQM_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${TQM_MINGW_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine; the runner prepares the prefix and the display.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
