################################################################################
#
# amp-bridge
#
################################################################################

AMP_BRIDGE_VERSION = 1.0
# The sources are the repository that holds this BR2_EXTERNAL tree (board/buildroot).
AMP_BRIDGE_SITE = $(BR2_EXTERNAL_AMP_BRIDGE_PATH)/../..
AMP_BRIDGE_SITE_METHOD = local
AMP_BRIDGE_LICENSE = Proprietary
# Build trees of a developer's checkout are not sources.
AMP_BRIDGE_OVERRIDE_SRCDIR_RSYNC_EXCLUSIONS = --exclude='/build*' --exclude=node_modules

# host-grpc and host-protobuf provide the code generators that run on the build machine.
AMP_BRIDGE_DEPENDENCIES = grpc protobuf libgpiod host-grpc host-protobuf

# The board has no GoogleTest; the generators are the host's programs, not the targets
# that the target's gRPC package exports.
AMP_BRIDGE_CONF_OPTS = \
	-DAMP_BUILD_TESTS=OFF \
	-DAMP_HOST_PROTOC=$(HOST_DIR)/bin/protoc \
	-DAMP_GRPC_CPP_PLUGIN=$(HOST_DIR)/bin/grpc_cpp_plugin

# The project's install rules put the programs, the API library and the board's files
# (init script, supervisor, Avahi template, SDDP configurations, default network files)
# in place. The init script is installed again here, as Buildroot does per init system,
# so that it follows BR2_INIT_BUSYBOX / BR2_INIT_SYSV.
define AMP_BRIDGE_INSTALL_INIT_SYSV
	$(INSTALL) -D -m 0755 $(@D)/board/rootfs/etc/init.d/S95amp-bridge \
		$(TARGET_DIR)/etc/init.d/S95amp-bridge
	$(INSTALL) -D -m 0755 $(@D)/board/rootfs/usr/sbin/amp-bridge-supervise \
		$(TARGET_DIR)/usr/sbin/amp-bridge-supervise
endef

$(eval $(cmake-package))
