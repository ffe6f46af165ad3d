// SPDX-License-Identifier: MIT
/*
 * The driver's own device: a platform device "frontpanel", bound to a
 * platform driver of the same name, so that what is allocated for it
 * (its RTC) belongs to a bound device.  It is wake-up capable, which makes
 * the RTC class offer its wakealarm file: the micom switches the box on at
 * its alarm.  Wake-up is enabled (what rtcwake looks for) only once the RTC
 * is registered (kp_rtc.c).
 */
#include <linux/device.h>
#include <linux/err.h>
#include <linux/input.h>
#include <linux/platform_device.h>
#include <linux/pm_wakeup.h>

#include "platform/kp_device.h"
#include "kp_compat.h"

static int fp_pdev_probe(struct platform_device *pdev)
{
	return 0; /* the core starts the device's functions itself */
}

static struct platform_driver fp_pdrv = {
	.probe = fp_pdev_probe,
};

int kp_device_register(const char *name, kp_device **dev)
{
	struct platform_device *pdev;
	int err;

	fp_pdrv.driver.name = name;
	err = platform_driver_register(&fp_pdrv);
	if (err)
		return err;
	pdev = platform_device_register_simple(name, -1, NULL, 0);
	if (IS_ERR(pdev)) {
		err = PTR_ERR(pdev);
		goto fail_driver;
	}
	if (!pdev->dev.driver) {
		err = -ENODEV; /* the driver did not bind it */
		goto fail_device;
	}
	device_set_wakeup_capable(&pdev->dev, true);
	*dev = (kp_device *)&pdev->dev;
	return 0;

fail_device:
	platform_device_unregister(pdev);
fail_driver:
	platform_driver_unregister(&fp_pdrv);
	return err;
}

void kp_device_unregister(kp_device *dev)
{
	struct device *d = (struct device *)dev;

	if (!d)
		return;
	device_init_wakeup(d, false);
	platform_device_unregister(to_platform_device(d));
	platform_driver_unregister(&fp_pdrv);
}

void kp_input_set_parent(kp_input_dev *input, kp_device *parent)
{
	((struct input_dev *)input)->dev.parent = (struct device *)parent;
}
