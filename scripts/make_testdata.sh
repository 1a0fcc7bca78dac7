#!/usr/bin/env bash
# Placeholder until the test-data writers land.
mkdir -p "$1"
