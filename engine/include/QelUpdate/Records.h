#pragma once
// The fixed-layout records that cross from the engine to its host programs. Their offsets and sizes are
// part of the interface: a host built on its own reads them byte for byte. Texts are NUL-terminated narrow
// text of the system code page (UTF-8 here).
#include <cstddef>
#include <cstdint>

// What a check found, hung on a product record for the host's prompt. Made zero-filled by the engine.
struct TUpdateInfo {
  char reserved0[600];
  char new_version[200];
  char update_time[200];
  char update_description[500];  // "#" separates the lines the prompt shows
  char package_url[256];
  char package_md5[256];
  char package_file[256];  // the installer's name inside the package
  int32_t reserved1;
  int32_t update_type;  // 1: a forced update
  bool product_running;
  bool package_downloaded;
  char reserved2[2];
};

// One product as configured, linked into the engine's list by next.
struct TProductInfo {
  char execute_file[500];
  char reserved0[500];
  char code[200];
  char name[200];
  char old_version[200];
  char current_version[200];
  int32_t check_update_type;
  int32_t notify_type;
  int32_t install_mode;
  int32_t check_timespan;
  int32_t check_retry_count;
  int32_t check_retry_timespan;
  int32_t download_failed_count;
  int32_t download_failed_max_count;
  int32_t download_retry_count;
  int32_t download_retry_timespan;
  TUpdateInfo* update_info;
#if UINTPTR_MAX == 0xFFFFFFFFu
  char reserved1[8];
#endif
  TProductInfo* next;
};

static_assert(sizeof(TUpdateInfo) == 2280, "TUpdateInfo layout");
static_assert(offsetof(TUpdateInfo, new_version) == 600, "TUpdateInfo layout");
static_assert(offsetof(TUpdateInfo, update_time) == 800, "TUpdateInfo layout");
static_assert(offsetof(TUpdateInfo, update_description) == 1000, "TUpdateInfo layout");
static_assert(offsetof(TUpdateInfo, package_url) == 1500, "TUpdateInfo layout");
static_assert(offsetof(TUpdateInfo, package_md5) == 1756, "TUpdateInfo layout");
static_assert(offsetof(TUpdateInfo, package_file) == 2012, "TUpdateInfo layout");
static_assert(offsetof(TUpdateInfo, reserved1) == 2268, "TUpdateInfo layout");
static_assert(offsetof(TUpdateInfo, update_type) == 2272, "TUpdateInfo layout");
static_assert(offsetof(TUpdateInfo, product_running) == 2276, "TUpdateInfo layout");
static_assert(offsetof(TUpdateInfo, package_downloaded) == 2277, "TUpdateInfo layout");

static_assert(sizeof(TProductInfo) == 1856, "TProductInfo layout");
static_assert(offsetof(TProductInfo, reserved0) == 500, "TProductInfo layout");
static_assert(offsetof(TProductInfo, code) == 1000, "TProductInfo layout");
static_assert(offsetof(TProductInfo, name) == 1200, "TProductInfo layout");
static_assert(offsetof(TProductInfo, old_version) == 1400, "TProductInfo layout");
static_assert(offsetof(TProductInfo, current_version) == 1600, "TProductInfo layout");
static_assert(offsetof(TProductInfo, check_update_type) == 1800, "TProductInfo layout");
static_assert(offsetof(TProductInfo, notify_type) == 1804, "TProductInfo layout");
static_assert(offsetof(TProductInfo, install_mode) == 1808, "TProductInfo layout");
static_assert(offsetof(TProductInfo, check_timespan) == 1812, "TProductInfo layout");
static_assert(offsetof(TProductInfo, check_retry_count) == 1816, "TProductInfo layout");
static_assert(offsetof(TProductInfo, check_retry_timespan) == 1820, "TProductInfo layout");
static_assert(offsetof(TProductInfo, download_failed_count) == 1824, "TProductInfo layout");
static_assert(offsetof(TProductInfo, download_failed_max_count) == 1828, "TProductInfo layout");
static_assert(offsetof(TProductInfo, download_retry_count) == 1832, "TProductInfo layout");
static_assert(offsetof(TProductInfo, download_retry_timespan) == 1836, "TProductInfo layout");
static_assert(offsetof(TProductInfo, update_info) == 1840, "TProductInfo layout");
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(TProductInfo, reserved1) == 1844, "TProductInfo layout");
static_assert(offsetof(TProductInfo, next) == 1852, "TProductInfo layout");
#else
static_assert(offsetof(TProductInfo, next) == 1848, "TProductInfo layout");
#endif
