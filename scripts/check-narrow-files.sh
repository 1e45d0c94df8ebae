#!/usr/bin/env bash
# Fails when code outside support/ opens, names or lists files through a narrow (8-bit) path
# call. On Windows such a call reads the UTF-8 path in the ANSI code page, so a folder named
# 张三 or 测试 目录 is silently not found. Every file, folder and argument goes through
# support/ (NativeFile.h, FileSystem.h, CommandLine.h): UTF-16 at the Windows calls.
#
# Not checked, because they are never built for Windows: platform/linux/, tools/usbip-sim/,
# platform/machine/StationMachine.cpp (the Linux machine), the Qt window (gui/ outside
# gui/win32/, paths through QString), *Posix.cpp files, tests/ and bench/.
# platform/sim/ keeps its POSIX descriptor calls: its Windows build is compiled with
# platform/windows/CrtPosixIo.h forced in, which turns open, rename, mkdir and the folder listing
# into UTF-16 calls; this script checks that CMake still forces it.
set -euo pipefail
cd "$(dirname "$0")/.."

dirs=(app device keydb provision platform tools gui/win32)
skip='^(platform/linux/|platform/sim/|tools/usbip-sim/|platform/machine/StationMachine\.cpp$)|Posix\.cpp$'
# Narrow calls: C and POSIX file calls, the C++ streams and std::filesystem (a path built from a
# std::string is narrow), and the A forms of the Win32 file calls.
calls='(^|[^.>_[:alnum:]])(::)?(fopen|freopen|_open|_sopen|open|creat|opendir|rename|remove|unlink|mkdir|rmdir|stat|lstat|access|chmod|_stat64)[[:space:]]*\(|std::(basic_)?(i|o)?fstream|std::filesystem|namespace fs = |\b(CreateFileA|CreateDirectoryA|DeleteFileA|MoveFileA|MoveFileExA|CopyFileA|GetFileAttributesA|GetFileAttributesExA|FindFirstFileA|FindFirstFileExA|LoadLibraryA|LoadLibraryExA|GetModuleFileNameA|RemoveDirectoryA|SetFileAttributesA|ShellExecuteA|CreateProcessA)\b'

bad=0
while IFS= read -r file; do
  [[ "$file" =~ $skip ]] && continue
  # Lines that are comments are not calls.
  if hits=$(grep -nE "$calls" "$file" | grep -vE '^[0-9]+:[[:space:]]*(//|\*|/\*)'); then
    while IFS= read -r hit; do
      echo "$file:$hit" >&2
      bad=1
    done <<<"$hits"
  fi
done < <(git ls-files -- "${dirs[@]/%//*.cpp}" "${dirs[@]/%//*.h}" | sort -u)

if ! grep -q 'platform/windows/CrtPosixIo.h' platform/sim/CMakeLists.txt; then
  echo "platform/sim/CMakeLists.txt no longer forces platform/windows/CrtPosixIo.h on Windows" >&2
  bad=1
fi
if [ "$bad" -ne 0 ]; then
  echo "narrow file calls outside support/: use support/NativeFile.h, FileSystem.h or" \
       "CommandLine.h" >&2
  exit 1
fi
echo "no narrow file calls outside support/"
