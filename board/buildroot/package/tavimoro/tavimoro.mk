################################################################################
#
# tavimoro
#
################################################################################

TAVIMORO_VERSION = 1.0.6
# The source tree around this external tree.
TAVIMORO_SITE = $(BR2_EXTERNAL_TAVIMORO_PATH)/../..
TAVIMORO_SITE_METHOD = local
# Build trees made in the source tree (ignored by git) are not copied into Buildroot's.
TAVIMORO_OVERRIDE_SRCDIR_RSYNC_EXCLUSIONS = --exclude='/build*/'
TAVIMORO_SUPPORTS_IN_SOURCE_BUILD = NO
# One for each pkg-config module of the CMake build (board.buildroot_deps checks it); what the
# player needs only at run time is selected in Config.in.
TAVIMORO_DEPENDENCIES = \
	cjson \
	fontconfig \
	gst1-plugins-base \
	gstreamer1 \
	libarchive \
	libdrm \
	libegl \
	libgbm \
	libgles \
	libglib2 \
	libsodium \
	sdl2 \
	sdl2_image \
	sdl2_ttf

# A font for the glyphs the board's font lacks, found at run time through fontconfig.
ifeq ($(BR2_PACKAGE_TAVIMORO_CJK_FONT),y)
TAVIMORO_DEPENDENCIES += wqy-zenhei
endif

ifeq ($(BR2_PACKAGE_TAVIMORO_START_AT_BOOT),y)
ifeq ($(BR2_INIT_SYSTEMD),y)
TAVIMORO_CONF_OPTS += -DTAVIMORO_INIT=systemd
else
TAVIMORO_CONF_OPTS += -DTAVIMORO_INIT=sysv
endif
else
TAVIMORO_CONF_OPTS += -DTAVIMORO_INIT=none
endif

# Only the board's programs; the host tool, the simulator and the benchmarks are not built.
TAVIMORO_MAKE_OPTS = tavimoro tavimoro-factory update

# The integrator's minisign public key, which makes the board take only signed firmware.
TAVIMORO_FIRMWARE_KEY = $(call qstrip,$(BR2_PACKAGE_TAVIMORO_FIRMWARE_KEY))

# Only the board component: the host tool and its udev rule belong on the gaming host.
define TAVIMORO_INSTALL_TARGET_CMDS
	DESTDIR=$(TARGET_DIR) $(BR2_CMAKE) --install $(TAVIMORO_BUILDDIR) --component board
	$(if $(TAVIMORO_FIRMWARE_KEY),$(INSTALL) -D -m 0644 $(TAVIMORO_FIRMWARE_KEY) $(TARGET_DIR)/rom/vorlix/keys/firmware.pub)
endef

$(eval $(cmake-package))
