# The service's programs that the tests start as real processes: the diagnostic
# client (installed into a private ProgramFiles by the tests) and, on the dev host,
# the notify supervisor used by the demo.
add_dependencies(brenmoor_tests brenmoor-ctl)
