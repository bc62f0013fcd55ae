include $(sort $(wildcard $(BR2_EXTERNAL_TAVIMORO_PATH)/package/*/*.mk))
