# Sourced by guest_test.sh (/hook/unloaded.sh) on the debug kernel, where
# the module has been started and stopped three times and is not loaded.
#
# kmemleak after those stops, then three sweeps of failing allocations
# (fail_tool.c: the n-th allocation of one call fails, for every n until the
# call makes fewer allocations than that; nothing may be left behind):
#   insmod   finit_module() of frontpanel.ko: the module loader's
#            allocations and the whole start
#   open     open() of /dev/micom (the ISP link's interrupt request), close()
#   input    finit_module() again, with evdev loaded so that registering the
#            input device also connects evdev's handler
# then kmemleak again.  pm_probe.ko stays loaded through the sweeps: its
# file tells the power-off hook after each failure point.
fp_ko=/lib/modules/frontpanel.ko
fp_hook_file=/sys/kernel/debug/fp_pm_power_off

fp_sweep() { # fp_sweep NAME fail_tool-ARGS...: sets fp_sweep_out
	fp_name=$1
	shift
	fp_sweep_out=$(fail_tool "$@")
	fp_rc=$?
	echo "$fp_sweep_out" | sed "s/^sweep/fp-guest: sweep $fp_name/"
	if [ $fp_rc -eq 0 ]; then
		pass "$fp_name sweep: every failure clean, then it works without one"
	else
		fail "$fp_name sweep"
	fi
}

fp_leak_check "after the first three stops"

# The sweeps make the kernel report the failures it was given ("vmalloc
# error", "page allocation failure", with their call traces): those are
# not splats.  The log is checked here before and after them, and cleared
# after them so that the guest's last check sees only what follows.
fp_checker_reports() {
	dmesg | grep -E 'sleeping function called from invalid context|WARNING:|BUG:|UBSAN:|Invalid wait context|ODEBUG:|Oops|general protection|list_add corruption|list_del corruption' | head -5
}
fp_reports=$(fp_checker_reports)
if [ -z "$fp_reports" ]; then pass "no checker report before the sweeps"; else fail "checker reports before the sweeps: $fp_reports"; fi
dmesg -c >/dev/null

check "the power-off probe loaded" insmod /hook/pm_probe.ko

fp_sweep insmod load-sweep 1 $fp_ko $fp_hook_file

if check "insmod for the open sweep" insmod $fp_ko; then
	# (the probe sees a hook: the module's, while it runs)
	check "the probe tells the module's power-off hook" grep -q "^set " $fp_hook_file
	fp_sweep open open-sweep /dev/micom
	check "rmmod after the open sweep" rmmod frontpanel
	check "nothing left after the open sweep" no_entries
fi

if check "evdev loaded for the input sweep" insmod /lib/modules/evdev.ko; then
	fp_sweep input load-sweep 1 $fp_ko $fp_hook_file
	check "evdev removed after the input sweep" rmmod evdev
fi
check "the power-off probe removed" rmmod pm_probe

fp_reports=$(fp_checker_reports)
if [ -z "$fp_reports" ]; then pass "no checker report in the sweeps"; else fail "checker reports in the sweeps: $fp_reports"; fi
dmesg -c >/dev/null

fp_leak_check "after the sweeps"
