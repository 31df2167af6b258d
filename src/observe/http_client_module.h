// What the program and its webhook module kesp-webhook.so agree on: the file's name and its
// one entry, which sends a call and fills in its result. Both are built together, by the same
// compiler, from the same headers.
#pragma once

#include "observe/http_client.h"

namespace tervane {

inline constexpr char kHttpClientModuleName[] = "kesp-webhook.so";
inline constexpr char kHttpClientEntry[] = "tervane_send_http";
using TervaneSendHttpFunction = void (*)(const HttpCall* call, HttpCallResult* result);

}  // namespace tervane
