"""Standard ROS 2 CDR for dictionaries, by the `.msg` definitions that recordings store."""
