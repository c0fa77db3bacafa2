// A Wine loader quirk made up for where the simulated machine's installer replaces
// tpm.sys in the process that tried to load it.
#pragma once

#include <windows.h>
// After the Windows headers it builds on.
#include <psapi.h>

#include <wchar.h>

// Windows unmaps an image whose load failed; Wine's loader leaves it mapped when
// its imports could not all be resolved, and Wine then refuses to replace the file.
// Of a real-shaped tpm.sys only an image with the DLL characteristic can fail so:
// Windows resolves a DLL's imports (an export driver's from System32\drivers are
// found nowhere) and resolves none of an image without it. Such a view, of a file
// in folder, is a DLL's, is no module the loader knows and has an import already
// bound (a view mapped as data has none): released here, as Windows would have
// released it. Any other view stays: a failed load of a driver without the DLL
// characteristic, which Windows never fails, keeps its file as Wine keeps it.
inline void ReleaseFailedLoads(const wchar_t* folder) {
  MEMORY_BASIC_INFORMATION mbi;
  for (BYTE* p = nullptr; VirtualQuery(p, &mbi, sizeof(mbi)) == sizeof(mbi);
       p = static_cast<BYTE*>(mbi.BaseAddress) + mbi.RegionSize) {
    if (mbi.Type != MEM_IMAGE || mbi.BaseAddress != mbi.AllocationBase) continue;
    wchar_t name[MAX_PATH + 8] = {};
    if (!K32GetMappedFileNameW(GetCurrentProcess(), mbi.BaseAddress, name, MAX_PATH)) continue;
    const wchar_t* path = wcsncmp(name, L"\\??\\", 4) == 0 ? name + 4 : name;
    if (_wcsnicmp(path, folder, wcslen(folder)) != 0) continue;
    HMODULE known = nullptr;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           static_cast<LPCWSTR>(mbi.BaseAddress), &known))
      continue;
    const BYTE* base = static_cast<const BYTE*>(mbi.BaseAddress);
    const auto* nt =
        reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    if (!(nt->FileHeader.Characteristics & IMAGE_FILE_DLL)) continue;
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    bool bound = false;
    for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         imports.VirtualAddress && d->Name && !bound; ++d)
      bound = *reinterpret_cast<const ULONGLONG*>(base + d->FirstThunk) >= nt->OptionalHeader.SizeOfImage;
    if (bound) UnmapViewOfFile(mbi.BaseAddress);
  }
}
