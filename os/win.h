// The Windows headers the tool is written against, included in one order everywhere.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <setupapi.h>
#include <newdev.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>
#include <winver.h>
