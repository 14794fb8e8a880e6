#pragma once

// Marks what libApplication.so exports; everything else is hidden.
#define APP_API __attribute__((visibility("default")))
