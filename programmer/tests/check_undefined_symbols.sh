#!/bin/sh
# Checks what a micomflash shared object leaves for the loading executable:
# every system and output call goes through a __wrap_ name, the vendor calls
# stay undefined, and nothing else reaches outside the C library's plain
# memory, string and file-reading calls.
# Usage: check_undefined_symbols.sh OBJECT WRAPPED_CALL...
set -u
object=$1
shift
status=0
undefined=$(nm -D --undefined-only "$object" | awk '{print $NF}' | sed 's/@.*//')

vendor="llad_open llad_close gbus_open gbus_close gbus_write_uint32
RUACreateInstance RUADestroyInstance RUASetProperty RUAExchangeProperty
RMstatusToString RMGetTimeInMicroSeconds"
libc="fopen fread ferror fclose malloc realloc free memset memcpy memcmp strnlen
vsnprintf stdout stderr __cxa_finalize __gmon_start__
_ITM_deregisterTMCloneTable _ITM_registerTMCloneTable"
wrapped=""
for call in "$@"; do
  wrapped="$wrapped __wrap_$call"
done

for sym in $undefined; do
  case $sym in
    __asan_*|__ubsan_*|__tsan_*|__sanitizer_*) continue ;;  # sanitizer builds
  esac
  case " $(echo $vendor $libc $wrapped) " in
    *" $sym "*) ;;
    *) echo "unexpected undefined symbol in $object: $sym"; status=1 ;;
  esac
done
for sym in $vendor; do
  case " $(echo $undefined) " in
    *" $sym "*) ;;
    *) echo "vendor call $sym is not left undefined in $object"; status=1 ;;
  esac
done
for sym in micomflash_main RMMalloc RMFree RMCalloc RMMemset RMMemcpy verbose_stderr; do
  if ! nm -D --defined-only "$object" | awk '{print $NF}' | grep -qx "$sym"; then
    echo "$object does not export $sym"
    status=1
  fi
done
if readelf -Ws "$object" | grep -q UNIQUE; then
  echo "$object has STB_GNU_UNIQUE symbols (dlclose would not unload it)"
  status=1
fi
[ $status -eq 0 ] && echo "$object: undefined and exported symbols as expected"
exit $status
