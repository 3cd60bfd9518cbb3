# SPDX-License-Identifier: Apache-2.0
################################################################################
#
# vorna
#
################################################################################

VORNA_VERSION = 1.0
VORNA_SITE = https://example.org/vorna/releases
VORNA_LICENSE = Apache-2.0
VORNA_LICENSE_FILES = LICENSE
VORNA_DEPENDENCIES = cjson openssl host-pkgconf
HOST_VORNA_DEPENDENCIES = host-cjson host-openssl host-pkgconf

VORNA_PUBLIC_KEY_FILE = $(call qstrip,$(BR2_PACKAGE_VORNA_PUBLIC_KEY_FILE))
VORNA_TRUSTED_KEYS = $(call qstrip,$(BR2_PACKAGE_VORNA_TRUSTED_KEYS))
ifeq ($(BR_BUILDING)$(VORNA_PUBLIC_KEY_FILE),y)
$(error BR2_PACKAGE_VORNA_PUBLIC_KEY_FILE must name the product's public key text)
endif

VORNA_CONF_OPTS = -DVORNA_PUBLIC_KEY_FILE=$(VORNA_PUBLIC_KEY_FILE) \
	-DVORNA_TRUSTED_KEYS="$(VORNA_TRUSTED_KEYS)" \
	-DVORNA_BUILD_TESTS=OFF -DVORNA_BUILD_TOOLS=OFF
HOST_VORNA_CONF_OPTS = -DVORNA_PUBLIC_KEY_FILE=$(VORNA_PUBLIC_KEY_FILE) \
	-DVORNA_BUILD_TESTS=OFF -DVORNA_BUILD_TOOLS=ON

# The device gets component "device", the build machine component "host"; each
# install checks that the files named here arrived.
VORNA_TARGET_FILES = usr/bin/vorna usr/bin/cfgcrypt
HOST_VORNA_HOST_FILES = usr/bin/vorna-image

define VORNA_INSTALL_TARGET_CMDS
	DESTDIR=$(TARGET_DIR) $(BR2_CMAKE) --install $(@D) --prefix /usr --component device
	for f in $(VORNA_TARGET_FILES); do test -f $(TARGET_DIR)/$$f || exit 1; done
endef

define HOST_VORNA_INSTALL_CMDS
	$(BR2_CMAKE) --install $(@D) --prefix $(HOST_DIR) --component host
	for f in $(HOST_VORNA_HOST_FILES); do test -f $(HOST_DIR)/$${f#usr/} || exit 1; done
endef

$(eval $(cmake-package))
$(eval $(host-cmake-package))
