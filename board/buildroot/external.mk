include $(sort $(wildcard $(BR2_EXTERNAL_AMP_BRIDGE_PATH)/package/*/*.mk))
