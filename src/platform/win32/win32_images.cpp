#include "platform/win32/win32_images.h"

#include <windows.h>

namespace quillon {

int Win32ResourceImages::Lookup(const std::string& name, const uint8_t** data, size_t* size) {
  HRSRC resource = FindResourceA(nullptr, name.c_str(), "EMBEDDED_FILE");
  if (!resource) return 1;
  const DWORD length = SizeofResource(nullptr, resource);
  *size = length;
  if (length == 0) return 2;
  HGLOBAL loaded = LoadResource(nullptr, resource);
  if (!loaded) return 3;
  const void* locked = LockResource(loaded);
  if (!locked) return 4;
  *data = static_cast<const uint8_t*>(locked);
  return 0;
}

}  // namespace quillon
