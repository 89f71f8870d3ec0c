/* Reads the VERSIONINFO resource back from the built DLL, as Explorer's
 * file properties do, and checks every field against the project's values
 * (passed in as WANT_* definitions). */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static int check(void *info, const char *key, const char *want) {
  char path[128];
  char *value = NULL;
  UINT size = 0;
  snprintf(path, sizeof path, "\\StringFileInfo\\040904B0\\%s", key);
  if (!VerQueryValueA(info, path, (void **)&value, &size) || value == NULL) {
    printf("%s: missing\n", key);
    return 1;
  }
  printf("%s: %s\n", key, value);
  if (strcmp(value, want) != 0) {
    printf("  want: %s\n", want);
    return 1;
  }
  return 0;
}

int main(int argc, char **argv) {
  static char info[8192];
  VS_FIXEDFILEINFO *fixed = NULL;
  UINT size = 0;
  DWORD handle = 0;
  int failures = 0;
  if (argc != 2) return 2;
  if (GetFileVersionInfoSizeA(argv[1], &handle) == 0 ||
      !GetFileVersionInfoA(argv[1], 0, sizeof info, info)) {
    printf("%s: no version information\n", argv[1]);
    return 1;
  }
  failures += check(info, "FileVersion", WANT_VERSION);
  failures += check(info, "ProductVersion", WANT_VERSION);
  failures += check(info, "FileDescription", WANT_DESCRIPTION);
  failures += check(info, "ProductName", "Kestrav");
  failures += check(info, "LegalCopyright", WANT_COPYRIGHT);
  failures += check(info, "OriginalFilename", "Kestrav.dll");
  if (!VerQueryValueA(info, "\\", (void **)&fixed, &size) ||
      fixed->dwFileVersionMS != ((DWORD)WANT_MAJOR << 16 | WANT_MINOR) ||
      fixed->dwFileVersionLS != ((DWORD)WANT_PATCH << 16)) {
    printf("fixed file version differs\n");
    ++failures;
  }
  printf("%s\n", failures == 0 ? "version information ok" : "FAILED");
  return failures == 0 ? 0 : 1;
}
