// placeholder: the termios device layer
