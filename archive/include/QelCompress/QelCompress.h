#pragma once
#include "qelplat/export.h"

// Archive types of QELPackType.
enum : int { QEL_PACK_NONE = -1, QEL_PACK_RAR = 1, QEL_PACK_ZIP = 2 };

QEL_C_EXPORT int QELPackType(const wchar_t* path, int* type);
QEL_C_EXPORT int QELDeCompress(const wchar_t* archive, const wchar_t* destDir);
QEL_C_EXPORT int QELCompress(const wchar_t* zipPath, const wchar_t (*files)[260], unsigned* count, int type);
