"""movarn: Python tools for test equipment and tools that speak Tcl."""
