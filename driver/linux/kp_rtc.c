// SPDX-License-Identifier: MIT
/*
 * The RTC class device of the core: the kernel's rtc_class_ops call the
 * core's operations, whose time and alarm structures are the kernel's own
 * field by field.
 *
 * On 5.6 and later the device is allocated and registered with the devm
 * calls the class offers, inside a devres group of the parent, so that
 * kp_rtc_unregister() removes it at the point of the core's stop where it
 * asks, not when the parent goes.  The class registers the device with its
 * update interrupts off (hwclock then polls the time instead of waiting
 * for an interrupt that never comes) and, from 5.18, says that the alarm
 * acts only from power-off.  3.9 has neither the range nor the feature
 * bits: the core refuses what its clock cannot hold, and uie_unsupported
 * turns the update interrupts off.
 *
 * The parent is wake-up capable from its registration on, so the class
 * offers the wakealarm file; its wake-up is enabled (rtcwake checks it)
 * only after the RTC is registered.  The kernel's alarm timers take the
 * first RTC that can wake the system from suspend when it registers, and
 * from then on hold its module (6.x) or its device (3.9) for good: this
 * module could never be unloaded again.  The micom's alarm only switches
 * the box on from deep standby, which is not what they need.
 */
#include <linux/device.h>
#include <linux/err.h>
#include <linux/errno.h>
#include <linux/module.h>
#include <linux/pm_wakeup.h>
#include <linux/rtc.h>
#include <linux/stddef.h>
#include <linux/time.h>

#include "platform/kp_errno.h"
#include "platform/kp_rtc.h"
#include "kp_compat.h"

static_assert(sizeof(struct rtc_time) == sizeof(kp_rtc_time) &&
	      offsetof(struct rtc_time, tm_sec) == offsetof(kp_rtc_time, tm_sec) &&
	      offsetof(struct rtc_time, tm_mday) == offsetof(kp_rtc_time, tm_mday) &&
	      offsetof(struct rtc_time, tm_year) == offsetof(kp_rtc_time, tm_year) &&
	      offsetof(struct rtc_time, tm_isdst) == offsetof(kp_rtc_time, tm_isdst),
	      "struct rtc_time differs from kp_rtc_time");
static_assert(sizeof(struct rtc_wkalrm) == sizeof(kp_rtc_wkalrm) &&
	      offsetof(struct rtc_wkalrm, enabled) == offsetof(kp_rtc_wkalrm, enabled) &&
	      offsetof(struct rtc_wkalrm, pending) == offsetof(kp_rtc_wkalrm, pending) &&
	      offsetof(struct rtc_wkalrm, time) == offsetof(kp_rtc_wkalrm, time),
	      "struct rtc_wkalrm differs from kp_rtc_wkalrm");
static_assert(KP_EINTR == EINTR && KP_EIO == EIO && KP_EFAULT == EFAULT &&
	      KP_EBUSY == EBUSY && KP_ENODEV == ENODEV && KP_EINVAL == EINVAL &&
	      KP_ERANGE == ERANGE, "error numbers differ from the kernel's");

/**
 * struct kp_rtc_device - the one RTC device of the module.
 * @rtc: the class's device.
 * @ops: the core's operations.
 * @parent: the device it was registered under.
 * @group: its devres group in @parent (5.6 and later).
 */
struct kp_rtc_device {
	struct rtc_device *rtc;
	const kp_rtc_ops *ops;
	struct device *parent;
	void *group;
};

static struct kp_rtc_device fp_rtc;

static int fp_rtc_read_time(struct device *dev, struct rtc_time *tm)
{
	return fp_rtc.ops->read_time((kp_rtc_time *)tm);
}

static int fp_rtc_set_time(struct device *dev, struct rtc_time *tm)
{
	return fp_rtc.ops->set_time((kp_rtc_time *)tm);
}

static int fp_rtc_read_alarm(struct device *dev, struct rtc_wkalrm *alrm)
{
	return fp_rtc.ops->read_alarm((kp_rtc_wkalrm *)alrm);
}

static int fp_rtc_set_alarm(struct device *dev, struct rtc_wkalrm *alrm)
{
	return fp_rtc.ops->set_alarm((kp_rtc_wkalrm *)alrm);
}

static int fp_rtc_alarm_irq_enable(struct device *dev, unsigned int enabled)
{
	return fp_rtc.ops->alarm_irq_enable(enabled);
}

static const struct rtc_class_ops fp_rtc_class_ops = {
	.read_time = fp_rtc_read_time,
	.set_time = fp_rtc_set_time,
	.read_alarm = fp_rtc_read_alarm,
	.set_alarm = fp_rtc_set_alarm,
	.alarm_irq_enable = fp_rtc_alarm_irq_enable,
};

#if FP_RTC_LEGACY_REGISTER

static int fp_rtc_add(struct device *parent, const kp_rtc_desc *desc)
{
	struct rtc_device *rtc = rtc_device_register(desc->name, parent, &fp_rtc_class_ops,
						     THIS_MODULE);

	if (IS_ERR(rtc))
		return PTR_ERR(rtc);
	rtc->uie_unsupported = 1;
	fp_rtc.rtc = rtc;
	return 0;
}

static void fp_rtc_remove(void)
{
	rtc_device_unregister(fp_rtc.rtc);
}

#else /* 5.6 and later */

static int fp_rtc_add(struct device *parent, const kp_rtc_desc *desc)
{
	struct rtc_device *rtc;
	void *group = devres_open_group(parent, NULL, GFP_KERNEL);
	int err;

	if (!group)
		return -ENOMEM;
	rtc = devm_rtc_allocate_device(parent);
	if (IS_ERR(rtc)) {
		err = PTR_ERR(rtc);
		goto fail;
	}
	rtc->ops = &fp_rtc_class_ops;
	rtc->range_min = mktime64(desc->year_min, 1, 1, 0, 0, 0);
	rtc->range_max = mktime64(desc->year_max, 12, 31, 23, 59, 59);
#if FP_RTC_FEATURE_BITS
	clear_bit(RTC_FEATURE_UPDATE_INTERRUPT, rtc->features);
#else
	rtc->uie_unsupported = 1;
#endif
#if FP_RTC_WAKEUP_ONLY
	set_bit(RTC_FEATURE_ALARM_WAKEUP_ONLY, rtc->features);
#endif
#if FP_RTC_DEVM_REGISTER
	err = devm_rtc_register_device(rtc);
#else
	err = rtc_register_device(rtc);
#endif
	if (err)
		goto fail;
	/*
	 * A device that could not be added (no memory for its sysfs
	 * directory) only makes the class warn: the registration succeeds
	 * with no /dev/rtcN and no files.  hwclock and rtcwake could not
	 * find it, so the start fails instead.
	 */
	if (!device_is_registered(&rtc->dev)) {
		err = -ENOMEM;
		goto fail;
	}
	devres_close_group(parent, group);
	fp_rtc.rtc = rtc;
	fp_rtc.group = group;
	return 0;

fail:
	devres_release_group(parent, group);
	return err;
}

static void fp_rtc_remove(void)
{
	devres_release_group(fp_rtc.parent, fp_rtc.group);
}

#endif

int kp_rtc_register(kp_device *parent, const kp_rtc_desc *desc, kp_rtc_device **rtc)
{
	int err;

	/* the class may call the operations while it registers */
	fp_rtc.ops = desc->ops;
	fp_rtc.parent = (struct device *)parent;
	err = fp_rtc_add(fp_rtc.parent, desc);
	if (err)
		goto fail;
	err = device_set_wakeup_enable(fp_rtc.parent, true);
	if (err) {
		fp_rtc_remove();
		goto fail;
	}
	*rtc = &fp_rtc;
	return 0;

fail:
	fp_rtc.rtc = NULL;
	fp_rtc.ops = NULL;
	return err;
}

void kp_rtc_unregister(kp_rtc_device *rtc)
{
	if (rtc != &fp_rtc || !fp_rtc.rtc)
		return;
	device_set_wakeup_enable(fp_rtc.parent, false);
	fp_rtc_remove();
	fp_rtc.rtc = NULL;
	fp_rtc.ops = NULL;
}
