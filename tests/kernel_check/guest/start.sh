# Sourced by guest_test.sh (/hook/start.sh) on the debug kernel, before the
# module's first start: readies kmemleak and fault injection.
PATH=/bin:/hook
mount -t debugfs debugfs /sys/kernel/debug 2>/dev/null
fp_kmemleak=/sys/kernel/debug/kmemleak
fp_failslab=/sys/kernel/debug/failslab

fp_leak_check() { # fp_leak_check WHEN
	sleep 6 # kmemleak reports objects of 5 s and older only
	echo scan >$fp_kmemleak
	fp_leaks=$(cat $fp_kmemleak)
	if [ -z "$fp_leaks" ]; then
		pass "kmemleak clean $1"
	else
		fail "kmemleak $1: $(echo "$fp_leaks" | grep -c '^unreferenced object') leaked objects"
		# one write per line: /dev/kmsg takes one record per write
		echo "$fp_leaks" | head -40 | while IFS= read -r fp_line; do
			echo "fp-guest: kmemleak: $fp_line"
		done
		echo clear >$fp_kmemleak
	fi
}

if [ -w $fp_kmemleak ]; then
	# what the kernel's own boot left unreferenced is not the module's
	echo scan >$fp_kmemleak
	echo "fp-guest: kmemleak: $(grep -c '^unreferenced object' $fp_kmemleak) objects of the boot set aside"
	echo clear >$fp_kmemleak
else
	fail "kmemleak is not available"
fi
if [ -d $fp_failslab ]; then
	# the n-th allocation of one call of one task fails (fail_tool writes
	# /proc/self/fail-nth); nothing else ever does (probability 0), and
	# allocations that may sleep count as well as atomic ones
	echo 0 >$fp_failslab/probability
	echo Y >$fp_failslab/task-filter
	echo N >$fp_failslab/ignore-gfp-wait
	echo 0 >$fp_failslab/verbose
	# only the caches slub_debug=A marked (the guest boots with every cache
	# marked but kmemleak's and the debug objects' own: a failure there
	# would hit the checkers' bookkeeping, not the kernel's work)
	echo Y >$fp_failslab/cache-filter
else
	fail "failslab is not available"
fi
