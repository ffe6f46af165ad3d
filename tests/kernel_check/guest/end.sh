# Sourced by guest_test.sh (/hook/end.sh) on the debug kernel, before its
# verdict: nothing the whole run allocated may be left unreferenced.
fp_leak_check "at the end"
