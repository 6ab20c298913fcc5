"""Converts every GIF and TIFF in a folder to PNGs, in parallel with Dask.

    python3 dask_convert.py IN_DIR OUT_DIR [SCHEDULER_ADDRESS]

Each GIF frame (composed as viewers show it) and each TIFF image becomes
a PNG. The bag runs on local processes; given the address of a Dask
distributed scheduler, the same code runs on its cluster.
"""

import pathlib
import sys

import dask
import dask.bag as db
import numpy as np
from PIL import Image

import kvlzw


def convert(path, out_dir):
    """Writes the file's images as PNGs; (file, images, pixels, error)."""
    path, out_dir = pathlib.Path(path), pathlib.Path(out_dir)
    try:
        if path.suffix.lower() == ".gif":
            images = [frame.image for frame in kvlzw.gif.Animation(path)]
        else:
            images = [kvlzw.tiff.read(path)]
    except kvlzw.Error as error:
        return path.name, 0, 0, error.records[0].text or error.records[0].meaning if error.records else str(error)
    for i, image in enumerate(images, 1):
        if image.dtype == np.uint16:  # PNG through Pillow: 8 bits a sample
            image = (image >> 8).astype(np.uint8)
        if image.ndim == 3 and image.shape[2] not in (3, 4):
            image = image[..., :3]
        Image.fromarray(image).save(out_dir / f"{path.stem}-{i:04d}.png")
    return path.name, len(images), sum(image.size for image in images), ""


def main(in_dir, out_dir, scheduler=None):
    pathlib.Path(out_dir).mkdir(parents=True, exist_ok=True)
    paths = sorted(str(p) for p in pathlib.Path(in_dir).iterdir()
                   if p.suffix.lower() in (".gif", ".tif", ".tiff"))
    bag = db.from_sequence(paths, npartitions=max(1, min(len(paths), 8))).map(convert, out_dir)
    if scheduler:
        from dask.distributed import Client
        with Client(scheduler):
            results = bag.compute()
    else:
        results = bag.compute(scheduler="processes")
    for name, images, pixels, error in results:
        print(f"{name}: {images} image(s), {pixels} samples{' - ' + error if error else ''}")
    print(f"{sum(r[1] for r in results)} PNGs from {len(results)} files in {out_dir}")
    return results


if __name__ == "__main__":
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    main(*sys.argv[1:])
