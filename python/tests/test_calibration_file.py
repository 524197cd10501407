"""The calibration file and what a Calibration does with it: save() writes the
tool's file and load() reads it back (also what `colorcal calibrate` wrote),
apply() with and without the flat-field, the exports, pickling, and a map
over photos on a local Dask cluster of two worker processes."""

import json
import os
import pickle
import subprocess

import numpy as np
import pytest

import colorcal
from conftest import read_image, write_image


@pytest.fixture(scope="module")
def chart():
    r = colorcal.render("qcc-print", seed=1)
    return r, colorcal.calibrate(r["photo"], "qcc-print", r["references"], roi=r["roi"])


def test_saved_file_loads_into_the_same_calibration_and_the_tool_reads_it(chart, tmp_path):
    r, cal = chart
    cal.save(tmp_path / "cal.json", white_path=tmp_path / "white.tiff")
    loaded = colorcal.load(tmp_path / "cal.json", white=tmp_path / "white.tiff")
    assert loaded.to_json() == cal.to_json() and repr(loaded) == repr(cal)
    np.testing.assert_array_equal(loaded.matrix, cal.matrix)
    # The report's numbers come back with the file's ten significant digits.
    assert [p["reference_index"] for p in loaded.patches] == [p["reference_index"] for p in cal.patches]
    np.testing.assert_allclose([p["corrected_rgb"] for p in loaded.patches],
                               [p["corrected_rgb"] for p in cal.patches], rtol=1e-9)
    # The card's numbers too come back with the file's ten significant digits.
    assert loaded.card.keys() == cal.card.keys()
    for key, value in cal.card.items():
        if isinstance(value, (bool, str)) or value is None:
            assert loaded.card[key] == value
        else:
            np.testing.assert_allclose(loaded.card[key], value, rtol=1e-9)
    assert loaded.delta_e2000_stats.keys() == cal.delta_e2000_stats.keys()
    # The white image went through the file's encoding: within a code of the original.
    assert np.abs(loaded.apply(r["photo"]).astype(int) - cal.apply(r["photo"])).max() <= 1
    np.testing.assert_array_equal(loaded.apply(r["photo"], flat_field=False),
                                  cal.apply(r["photo"], flat_field=False))
    # `colorcal apply` on the same files writes what the module computes.
    write_image(tmp_path / "photo.ppm", r["photo"])
    subprocess.run([os.environ["COLORCAL_CLI"], "apply", "--quiet", "--calibration",
                    str(tmp_path / "cal.json"), "--white", str(tmp_path / "white.tiff"),
                    "--out", str(tmp_path / "out.ppm"), str(tmp_path / "photo.ppm")], check=True)
    np.testing.assert_array_equal(read_image(tmp_path / "out.ppm"), loaded.apply(r["photo"]))


def test_flat_field_choices(chart):
    r, cal = chart
    photo = r["photo"]
    # The white in the photo's encoding goes back to linear light: within a code.
    assert np.abs(cal.apply(photo, flat_field=cal.white).astype(int) - cal.apply(photo)).max() <= 1
    crop = photo[:100, :50]
    assert cal.apply(crop, flat_field=False).shape == crop.shape
    with pytest.raises(ValueError, match="the calibrated photo 710 x 812"):
        cal.apply(crop)
    with pytest.raises(ValueError, match="flat_field is 50 x 100, the image 710 x 812"):
        cal.apply(photo, flat_field=cal.white[:100, :50])
    with pytest.raises(TypeError, match="float32 white image"):
        cal.apply(photo, flat_field=photo)


def test_exports_and_their_errors(chart, tmp_path):
    _, cal = chart
    cal.to_icc(tmp_path / "cal.icc")
    assert (tmp_path / "cal.icc").read_bytes()[36:40] == b"acsp"
    cal.to_cube(tmp_path / "cal.cube", size=5)
    text = (tmp_path / "cal.cube").read_text()
    assert "LUT_3D_SIZE 5\n" in text and len([l for l in text.splitlines() if l[:1].isdigit()]) == 125
    with pytest.raises(ValueError, match=r"size is 1 \(expected 2..129\)"):
        cal.to_cube(tmp_path / "bad.cube", size=1)
    with pytest.raises(OSError, match="no such file"):
        cal.to_icc(tmp_path / "missing" / "cal.icc")


@pytest.mark.parametrize("change,error,message", [
    (lambda d: d.pop("format_version"), ValueError, "no \"format_version\""),
    (lambda d: d.update(format_version=2), ValueError, "format_version 2 is not supported"),
    (lambda d: d.update(ok=False, error="no card"), ValueError, r"the calibration failed \(no card\)"),
    (lambda d: d["matrix"][1].__setitem__(2, "x"), ValueError, r"matrix\[1\]\[2\] is a string"),
    (lambda d: d.update(image_size=[10, 0]), ValueError, r"image_size\[1\]: 0 lies outside"),
])
def test_load_refuses_files_it_cannot_use(chart, tmp_path, change, error, message):
    _, cal = chart
    document = json.loads(cal.to_json())
    change(document)
    (tmp_path / "cal.json").write_text(json.dumps(document))
    with pytest.raises(error, match=message):
        colorcal.load(tmp_path / "cal.json")
    (tmp_path / "nan.json").write_text(cal.to_json().replace('"matrix": [\n    [', '"matrix": [\n    [NaN, '))
    with pytest.raises(ValueError, match="not JSON"):
        colorcal.load(tmp_path / "nan.json")
    with pytest.raises(OSError, match="no such file"):
        colorcal.load(tmp_path / "missing.json")
    cal.save(tmp_path / "plain.json")
    with pytest.raises(ValueError, match="no white image"):
        colorcal.load(tmp_path / "plain.json").apply(np.zeros((812, 710, 3), np.uint8))


def test_pickled_calibrations_keep_everything(chart):
    r, cal = chart
    copy = pickle.loads(pickle.dumps(cal))
    assert copy.to_json() == cal.to_json() and copy.channel_order == "rgb"
    np.testing.assert_array_equal(copy.white, cal.white)
    np.testing.assert_array_equal(copy.apply(r["photo"]), cal.apply(r["photo"]))
    failed = colorcal.calibrate(np.full((300, 400, 3), 128, np.uint8), "qcc-print",
                                r["references"], roi=(0, 0, 400, 300))
    again = pickle.loads(pickle.dumps(failed))
    assert not again.ok and again.error == failed.error


def test_a_dask_map_over_photos_on_two_worker_processes(chart):
    dask_bag = pytest.importorskip("dask.bag")
    distributed = pytest.importorskip("dask.distributed")
    r, cal = chart
    photos = [np.ascontiguousarray(np.roll(r["photo"], shift, axis=1)) for shift in (0, 5, 9)]
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster):
        corrected = dask_bag.from_sequence(photos, npartitions=3).map(cal.apply).compute()
    for photo, result in zip(photos, corrected):
        np.testing.assert_array_equal(result, cal.apply(photo))
