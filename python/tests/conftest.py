"""Helpers of the module's tests: run `colorcal calibrate` on the very arrays
the module gets (written as PPM and PFM files, which OpenCV reads exactly)
and read back what the tool wrote."""

import os
import re
import subprocess
from types import SimpleNamespace

import numpy as np


def write_image(path, image):
    """uint8 and uint16 as binary PPM, float32 as PFM; `image` is RGB (the
    module's default order)."""
    h, w, _ = image.shape
    rgb = image
    with open(path, "wb") as f:
        if image.dtype == np.float32:
            f.write(b"PF\n%d %d\n-1.0\n" % (w, h))
            f.write(np.ascontiguousarray(rgb[::-1], dtype="<f4").tobytes())
        else:
            maxval = 255 if image.dtype == np.uint8 else 65535
            f.write(b"P6\n%d %d\n%d\n" % (w, h, maxval))
            f.write(np.ascontiguousarray(rgb, dtype=">u2" if maxval > 255 else np.uint8).tobytes())


def read_image(path):
    """An image file as OpenCV reads it, in RGB order."""
    npy = str(path) + ".npy"
    subprocess.run([os.environ["COLORCAL_IMAGE_TO_NPY"], str(path), npy], check=True)
    image = np.load(npy)
    return image[..., ::-1] if image.ndim == 3 and image.shape[2] == 3 else image


def run_tool(tmp_path, photo, chart, references, roi, external_white=None, encoding=None):
    """`colorcal calibrate` on `photo` (without --roi when `roi` is None);
    returns its JSON text, white and corrected image (8-bit, or 16-bit for a
    16-bit photo)."""
    ext = ".pfm" if photo.dtype == np.float32 else ".ppm"
    write_image(tmp_path / ("photo" + ext), photo)
    with open(tmp_path / "reference.csv", "w") as f:
        f.writelines("%r,%r,%r\n" % tuple(float(v) for v in row) for row in references)
    args = [os.environ["COLORCAL_CLI"], "calibrate", "--chart", chart,
            "--image", str(tmp_path / ("photo" + ext)), "--reference", str(tmp_path / "reference.csv"),
            "--json", str(tmp_path / "result.json"),
            "--white-out", str(tmp_path / "white.tiff"),
            "--corrected-out", str(tmp_path / "corrected.ppm")]
    if roi is not None:
        args += ["--roi", ",".join(map(str, roi))]
    if external_white is not None:
        write_image(tmp_path / "external-white.pfm", external_white)
        args += ["--external-white", str(tmp_path / "external-white.pfm")]
    if encoding is not None:
        args += ["--encoding", encoding]
    subprocess.run(args, check=False, timeout=300)
    with open(tmp_path / "result.json") as f:
        text = f.read()
    ok = (tmp_path / "white.tiff").exists()
    return SimpleNamespace(json=text, white=read_image(tmp_path / "white.tiff") if ok else None,
                           corrected=read_image(tmp_path / "corrected.ppm") if ok else None)


def without_timings(json_text):
    """The JSON text with the measured timings blanked (their stages kept)."""
    head, tail = json_text.split('"timings_ms"')
    return head + re.sub(r"[0-9.e+-]+", "_", tail)
