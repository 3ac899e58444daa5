"""The pieces of scripts/bench-report: inputs, verdicts, figures, template."""
