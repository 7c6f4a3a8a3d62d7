def test_imports():
    from veltrane.corvalest.datareader import fileInspect
    assert fileInspect.getfiletype.__name__ == "getfiletype"
