// Export marker of the platform library: its interface is plain C++, used by
// the system's own libraries and programs only.
#pragma once
#define PLAT_API __attribute__((visibility("default")))
