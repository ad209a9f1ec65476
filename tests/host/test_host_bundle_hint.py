"""A missing data bundle says how to write one."""
import pytest

from tessel.data.base_data_source import BaseDataSource


def test_missing_bundle_hints_at_export_calendar(tmp_path):
    missing = tmp_path / "bundle"
    with pytest.raises(ValueError) as info:
        BaseDataSource(str(missing), {}, False, None)
    assert str(info.value) == (f"data bundle directory {missing} does not exist "
                               f"(write one with `vexdatac export-calendar {missing}`)")
