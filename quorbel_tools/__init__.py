"""quorbel's command-line tools, installed with the wheel as console commands:
quorbel-replay (quorbel_tools.replay) and quorbel-tail (quorbel_tools.tail)."""
