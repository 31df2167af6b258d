#include <windows.h>

#include "support/event_log.h"

namespace tervane {

LocalTime SystemClock::Now() {
  SYSTEMTIME st;
  GetLocalTime(&st);
  return LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
}

}  // namespace tervane
