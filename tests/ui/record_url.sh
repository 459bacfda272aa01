#!/bin/sh
# Stands in for the web browser in the window tests: Wine's browser bridge
# hands it the address the program opened, and it notes it down.
printf '%s\n' "$1" >> "${TIDEMARK_UI_URL_LOG:-/dev/null}"
