"""Misuses that `mypy --strict` must refuse (scripts/check-typing.sh): the
package's lazy names keep their types. Not a test."""

from vellomar.printing.cups import check_readiness, print_file

check_readiness(False)
print_file(b"x", title=3)
job_id: str = print_file(b"x").id
