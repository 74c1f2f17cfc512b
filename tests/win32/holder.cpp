// A test helper for the Windows build: holds a file the way another program
// would, opened without sharing, until its standard input ends.
//
//   holder PATH
//
// Prints "held" once the file is held; exits 1 if it cannot be opened.
#include <windows.h>

int main(int argc, char** argv)
{
    if (argc != 2) return 2;
    const HANDLE file = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    DWORD n = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "held\n", 5, &n, nullptr);
    char byte;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &n, nullptr) && n != 0) {
    }
    CloseHandle(file);
    return 0;
}
