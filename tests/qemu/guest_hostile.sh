# SPDX-License-Identifier: MIT
# Sourced by guest_test.sh (/bin/guest_hostile.sh) when the kernel command
# line has fp_hostile=SECONDS, with the module loaded and evdev in: the micom
# turns hostile for SECONDS while user space goes on using the driver
# (micom_host.cpp: "storm"), then talks nonsense on the ISP link while
# /dev/micom is driven at random ("isp-noise").  Afterwards a clean key press
# must come through once, the clock must follow the micom, and the module
# must unload and load again; the kernel log is checked by the caller.
#
# Where the kernel has the irqsoff tracer, the longest time interrupts were
# held off is measured during a polite stretch of the same load and during
# the storm (QEMU's emulated time inflates both alike): kernel-wide, and the
# longest run of the driver's own interrupt handlers (irq events of COM2 and
# COM3), which hold interrupts off while they read the micom's bytes.

hostile_seconds=$(sed -n 's/.*fp_hostile=\([0-9]*\).*/\1/p' /proc/cmdline)
hostile_seed=$(sed -n 's/.*fp_seed=\([0-9]*\).*/\1/p' /proc/cmdline)
hostile_seed=${hostile_seed:-1}

# The trace clock is the TSC: under TCG it is the host's, at the host's rate
# (fp_tsc_khz on the command line), where the kernel's own clocks may be no
# finer than a tick when the guest could not calibrate its TSC.
tsc_khz=$(sed -n 's/.*fp_tsc_khz=\([0-9]*\).*/\1/p' /proc/cmdline)
tracing=/sys/kernel/tracing
mount -t tracefs nodev $tracing 2>/dev/null
if [ -n "$tsc_khz" ] && grep -qw irqsoff $tracing/available_tracers 2>/dev/null; then
	echo x86-tsc >$tracing/trace_clock
	echo irqsoff >$tracing/current_tracer
	echo 1 >$tracing/tracing_on
	# the driver's own handlers (COM2 and COM3), in a buffer of their own
	irqs=$tracing/instances/fp-irqs
	mkdir $irqs
	echo x86-tsc >$irqs/trace_clock
	echo 0 >$irqs/options/latency-format
	echo 16384 >$irqs/buffer_size_kb
	for e in irq_handler_entry irq_handler_exit; do
		echo 'irq == 3 || irq == 5' >$irqs/events/irq/$e/filter
		echo 1 >$irqs/events/irq/$e/enable
	done
else
	tracing=
fi
irqsoff_reset() {
	[ -n "$tracing" ] || return 0
	echo 0 >$tracing/tracing_max_latency
	echo >$irqs/trace
}
irqsoff_report() { # irqsoff_report WHAT: the longest holds since the reset
	if [ -z "$tracing" ]; then
		echo "fp-guest: irqsoff $1: no irqsoff tracer in this kernel"
		return
	fi
	# (the latency tracer gives TSC cycles / 1000 as "us")
	echo "fp-guest: irqsoff $1: kernel-wide" \
		"$(awk -v c="$(cat $tracing/tracing_max_latency)" -v k="$tsc_khz" 'BEGIN { printf "%.0f", c * 1e6 / k }') us," \
		"$(grep -m1 'started at:' $tracing/trace | sed 's/.*started at: *//')" \
		"to $(grep -m1 'ended at:' $tracing/trace | sed 's/.*ended at: *//');" \
		"$(awk -v k="$tsc_khz" '
			$0 ~ /irq_handler_entry:/ { for (i = 1; i <= NF; i++) if ($i ~ /^irq_handler_entry:/) t = $(i - 1) + 0 }
			$0 ~ /irq_handler_exit:/ && t { for (i = 1; i <= NF; i++) if ($i ~ /^irq_handler_exit:/) d = $(i - 1) - t
				n++; if (d > m) m = d; t = 0 }
			END { printf "driver handlers: %d runs, longest %.0f us", n, m * 1000 / k }' $irqs/trace)"
}
clock_export_is() { # the clock read through get_RTC_time is in minute $1
	insmod /lib/modules/clock_reader.ko 2>/dev/null
	rtc=$(dmesg | sed -n 's/.*fp-clock: rtc \([0-9]*\).*/\1/p' | sed -n '$p')
	echo "fp-guest: clock through the exports: $rtc ($(date -u -d "@$rtc" +%Y-%m-%dT%H:%M:%S))"
	[ "$(date -u -d "@$rtc" +%Y-%m-%dT%H:%M)" = "$1" ]
}

# a polite micom under the same load (which sets the micom's clock at
# random: the clock is checked once it has ended)
irqsoff_reset
guest_tool load 20 "$hostile_seed" &
polite_load=$!
check "polite: key press" guest_tool key 6 30 "key 5F 25 300"
check "polite: user-space load" wait $polite_load
irqsoff_report "polite micom"
echo "fp-host: time 2033-01-02T03:04:05"
check "polite: clock follows the micom" wait_for 20 time_is 2033-01-02T03:04

# the storm
irqsoff_reset
echo "fp-host: storm $hostile_seed $hostile_seconds"
check "user-space load through the storm" guest_tool load $((hostile_seconds + 2)) "$hostile_seed"
irqsoff_report "hostile micom"

# A press the storm left pending (its release lost) takes the first tap
# (its press releases the pending key); the second must come whole.
sleep 1
guest_tool key 6 30 "key 5F 25 300" || echo "fp-guest: the first tap after the storm ended a press left pending"
sleep 1 # the rest of that tap
check "after the storm: a clean key press, reported once" guest_tool key 6 30 "key 5F 25 300"
echo "fp-host: time 2035-06-07T08:09:10"
check "after the storm: the clock follows the micom" wait_for 20 time_is 2035-06-07T08:09
check "after the storm: the clock through the exports" clock_export_is 2035-06-07T08:09

# nonsense on the ISP link while /dev/micom is driven at random
echo "fp-host: isp-noise on $hostile_seed"
check "/dev/micom against an ISP link that talks nonsense" guest_tool ispnoise 20 "$hostile_seed"
echo "fp-host: isp-noise off"
sleep 1
check "after the ISP nonsense: a clean key press" guest_tool key 6 30 "key 5F 25 300"

check "rmmod after the storm" rmmod frontpanel
check "insmod after the storm" insmod /lib/modules/frontpanel.ko
check "/proc/model after the storm" model_is_lumeta
if [ -n "$tracing" ]; then
	echo nop >$tracing/current_tracer
	rmdir $irqs
fi
