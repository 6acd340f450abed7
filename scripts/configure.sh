# Sourced, from the project's root: how the two commands configure a build
# directory. Each sets every option it relies on, so either may follow the
# other in the same directory.
configure_for_run() { # DIR
	cmake -S . -B "$1" -DBUILD_TESTING=OFF -DHITCHECK_SANITIZE=OFF >/dev/null
}
configure_for_tests() { # DIR SANITIZE(ON|OFF)
	cmake -S . -B "$1" -DBUILD_TESTING=ON -DHITCHECK_SANITIZE="$2" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
}
