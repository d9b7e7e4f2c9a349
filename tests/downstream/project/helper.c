int helper_value(void) { return 40; }
